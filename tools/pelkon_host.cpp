// orv-pelkon: a small monitoring host for libPelkon.so. Loads the library with dlopen, opens a
// channel from ./Pelkon.ini, prints every record it delivers and passes each line read from
// standard input to Orv_SetMsg as a command.
//
//   orv-pelkon [--lib PATH] [--channel C] [--seconds S] [--count N]
//
// Records go to standard output, one field per line, a blank line after each record.

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "client/Pelkon.h"

#ifndef ORV_PELKON_PATH
#define ORV_PELKON_PATH "libPelkon.so"
#endif

namespace {

using InitComm = void* (*)(int32_t, int32_t);
using CloseComm = int32_t (*)(void*);
using GetMsg = int32_t (*)(void*, OrvMessage*);
using SetMsg = int32_t (*)(void*, const char*);

volatile sig_atomic_t stopRequested = 0;

void onSignal(int) {
  stopRequested = 1;
}

// A length-prefixed text of the record, its length capped to what the field can hold.
std::string prefixed(const uint8_t* field, size_t capacity) {
  size_t n = field[0];
  if (n > capacity) n = capacity;
  return std::string(reinterpret_cast<const char*>(field + 1), n);
}

void printRecord(const OrvMessage& m) {
  std::printf("receiver: %u\n", static_cast<unsigned>(m.receiver));
  std::printf("line: %u\n", static_cast<unsigned>(m.line));
  std::printf("account: %X\n", static_cast<unsigned>(m.account));
  std::printf("area: %s\n", prefixed(m.area, sizeof m.area - 1).c_str());
  std::printf("code: %s\n", prefixed(m.code, sizeof m.code - 1).c_str());
  if (m.time.wYear == PELKON_NO_TIME) {
    std::printf("time: no time\n");
  } else {
    std::printf("time: %04u-%02u-%02u %02u:%02u:%02u\n", m.time.wYear, m.time.wMonth, m.time.wDay,
                m.time.wHour, m.time.wMinute, m.time.wSecond);
  }
  std::printf("extra: %s\n\n", m.extra != nullptr ? m.extra : "");
  std::fflush(stdout);
}

long long nowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

int main(int argc, char** argv) {
  std::string lib = ORV_PELKON_PATH;
  long channel = 0, seconds = -1, count = -1;
  CLI::App app{"orv-pelkon: a small monitoring host for libPelkon.so"};
  app.footer(
      "Reads ./Pelkon.ini; commands (\"module:command\" or \"line:module:command\") are read\n"
      "from standard input, one per line. Records go to standard output, one field per line.");
  app.add_option("--lib", lib, "the library to load")->type_name("PATH")->capture_default_str();
  app.add_option("--channel", channel, "the channel to open")
      ->type_name("C")
      ->check(CLI::Range(0, std::numeric_limits<int>::max()))
      ->capture_default_str();
  app.add_option("--seconds", seconds, "stop after S seconds")
      ->type_name("S")
      ->check(CLI::Range(0, std::numeric_limits<int>::max()));
  app.add_option("--count", count, "stop after N records")
      ->type_name("N")
      ->check(CLI::Range(0, std::numeric_limits<int>::max()));
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 2;
  }

  void* so = ::dlopen(lib.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (so == nullptr) {
    std::fprintf(stderr, "orv-pelkon: %s\n", ::dlerror());
    return 1;
  }
  auto initComm = reinterpret_cast<InitComm>(::dlsym(so, "orv_InitComm"));
  auto closeComm = reinterpret_cast<CloseComm>(::dlsym(so, "orv_CloseComm"));
  auto getMsg = reinterpret_cast<GetMsg>(::dlsym(so, "orv_GetMsg"));
  auto setMsg = reinterpret_cast<SetMsg>(::dlsym(so, "Orv_SetMsg"));
  if (!initComm || !closeComm || !getMsg || !setMsg) {
    std::fprintf(stderr, "orv-pelkon: %s lacks the Pelkon exports\n", lib.c_str());
    return 1;
  }

  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGINT, &sa, nullptr);
  ::sigaction(SIGTERM, &sa, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  void* handle = initComm(0, static_cast<int32_t>(channel));
  if (handle == nullptr) {
    std::fprintf(stderr, "orv-pelkon: channel %ld cannot be opened\n", channel);
    return 1;
  }

  const long long start = nowMs();
  long records = 0;
  bool stdinOpen = true;
  std::string pending;  // command text read so far without its line end
  while (!stopRequested) {
    if (seconds >= 0 && nowMs() - start >= seconds * 1000LL) break;
    if (count >= 0 && records >= count) break;

    OrvMessage msg;
    std::memset(&msg, 0, sizeof msg);
    int32_t waiting = getMsg(handle, &msg);
    if (waiting > 0) {
      printRecord(msg);
      ++records;
      continue;  // more may wait: take them before sleeping
    }

    pollfd p{STDIN_FILENO, POLLIN, 0};
    int ready = ::poll(&p, stdinOpen ? 1 : 0, 5);
    if (ready > 0 && stdinOpen) {
      char buf[1024];
      ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
      if (n <= 0) {
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        stdinOpen = false;  // no more commands; records are still printed
        n = 0;
      }
      pending.append(buf, static_cast<size_t>(n));
      size_t eol;
      while ((eol = pending.find('\n')) != std::string::npos) {
        std::string command = pending.substr(0, eol);
        pending.erase(0, eol + 1);
        if (!command.empty() && command.back() == '\r') command.pop_back();
        if (!command.empty()) setMsg(handle, command.c_str());
      }
      if (!stdinOpen && !pending.empty()) {
        setMsg(handle, pending.c_str());
        pending.clear();
      }
      if (pending.size() > 4096) pending.clear();  // no line end in sight: not a command
    }
  }
  closeComm(handle);
  return 0;
}
