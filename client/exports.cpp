#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "client/Pelkon.h"
#include "client/pelkon_channel.h"
#include "common/diag.h"
#include "common/ini_file.h"

namespace {

using orv::tPelkonChannel;

// Open channels by handle. A handle that is not here (never opened, or closed already) is
// refused instead of being followed into freed memory. Channels still open when the library is
// unloaded are closed with it, so that no thread runs on in unloaded code.
std::mutex channelsLock;
std::map<void*, std::shared_ptr<tPelkonChannel>>& channels() {
  static std::map<void*, std::shared_ptr<tPelkonChannel>> map;
  return map;
}

std::shared_ptr<tPelkonChannel> find(void* handle) {
  std::lock_guard lock(channelsLock);
  auto it = channels().find(handle);
  return it == channels().end() ? nullptr : it->second;
}

template <size_t N>
void copyText(char (&to)[N], const std::string& from) {
  size_t n = std::min(from.size(), N - 1);
  std::memcpy(to, from.data(), n);
  to[n] = '\0';
}

}  // namespace

extern "C" {

void* orv_InitComm(int32_t, int32_t channel) {
  try {
    orv::IniFile ini("Pelkon.ini");
    auto c = std::make_shared<tPelkonChannel>(orv::readPelkonSettings(ini, channel));
    void* handle = c.get();
    std::lock_guard lock(channelsLock);
    channels()[handle] = std::move(c);
    return handle;
  } catch (const std::exception& e) {
    orv::diagf("Pelkon: channel %d cannot be opened: %s", channel, e.what());
    return nullptr;
  }
}

int32_t orv_CloseComm(void* handle) {
  std::shared_ptr<tPelkonChannel> c;
  {
    std::lock_guard lock(channelsLock);
    auto it = channels().find(handle);
    if (it == channels().end()) return 0;
    c = std::move(it->second);
    channels().erase(it);
  }
  c.reset();  // stops the threads unless a call on another thread still holds the channel
  return 0;
}

int32_t orv_GetMsg(void* handle, OrvMessage* msg) {
  if (msg == nullptr) return 0;
  try {
    std::shared_ptr<tPelkonChannel> c = find(handle);
    return c ? c->getMsg(*msg) : 0;
  } catch (...) {
    return 0;
  }
}

int32_t orv_GetSysMsg(int32_t, int32_t, int32_t, int32_t* value) {
  if (value != nullptr) *value = PELKON_SYSMSG_VALUE;
  return 0;
}

const char* Orv_GetName(int32_t* value1, int32_t* value2, int32_t* value3) {
  if (value1 != nullptr) *value1 = PELKON_NAME_VALUE_1;
  if (value2 != nullptr) *value2 = PELKON_NAME_VALUE_2;
  if (value3 != nullptr) *value3 = PELKON_NAME_VALUE_3;
  return PELKON_NAME;
}

int32_t Orv_SetMsg(void* handle, const char* text) {
  if (text == nullptr) return 0;
  try {
    if (std::shared_ptr<tPelkonChannel> c = find(handle)) c->setMsg(text);
  } catch (...) {
  }
  return 0;
}

int32_t orv_GetHostList(void* handle, PelkonHostRow* rows, int32_t maxRows, int32_t* bufferCount) {
  if (bufferCount != nullptr) *bufferCount = 0;
  try {
    std::shared_ptr<tPelkonChannel> c = find(handle);
    if (!c) return 0;
    if (bufferCount != nullptr) {
      *bufferCount = static_cast<int32_t>(std::min<size_t>(c->buffers().lineCount(), INT32_MAX));
    }
    std::vector<orv::HostRow> hosts = c->buffers().hosts();
    for (size_t i = 0;
         rows != nullptr && i < hosts.size() && i < static_cast<size_t>(std::max(maxRows, 0));
         ++i) {
      rows[i].hpId = hosts[i].hpId;
      copyText(rows[i].ip, hosts[i].ip);
      rows[i].mCnt = hosts[i].mCnt;
      copyText(rows[i].lastMessage, hosts[i].lastMessage);
      copyText(rows[i].errorCode, hosts[i].errorCode);
    }
    return static_cast<int32_t>(hosts.size());
  } catch (...) {
    return 0;
  }
}

}  // extern "C"
