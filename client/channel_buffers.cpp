#include "client/channel_buffers.h"

#include <algorithm>

#include "common/diag.h"

namespace orv {

void tChannelBuffers::pushLine(std::string line) {
  if (line.size() > kMaxLineKept) line.resize(kMaxLineKept);
  std::lock_guard lock(lock_);
  lines_.push_back(std::move(line));
}

size_t tChannelBuffers::lineCount() const {
  std::lock_guard lock(lock_);
  return lines_.size();
}

bool tChannelBuffers::addCommand(std::string_view text) {
  // A line break would end the acknowledgement early, and the rest would acknowledge a line
  // that this client has not seen yet.
  text = text.substr(0, text.find_first_of("\r\n"));
  // An empty command carries nothing, and sent alone it could only be taken for an
  // acknowledgement.
  if (text.empty()) return false;
  if (text.size() > kMaxCommand) {
    diagf("Pelkon: a command of %zu characters is refused (at most %zu)", text.size(), kMaxCommand);
    return false;
  }
  std::lock_guard lock(lock_);
  if (commands_.size() >= kMaxCommands) {
    diagf("Pelkon: %zu commands wait already; command '%.*s' is refused", commands_.size(),
          static_cast<int>(text.size()), text.data());
    return false;
  }
  commands_.emplace_back(text);
  return true;
}

std::optional<std::string> tChannelBuffers::takeCommand() {
  std::lock_guard lock(lock_);
  if (commands_.empty()) return std::nullopt;
  std::string c = std::move(commands_.front());
  commands_.pop_front();
  return c;
}

void tChannelBuffers::returnCommand(std::string text) {
  std::lock_guard lock(lock_);
  commands_.push_front(std::move(text));
}

bool tChannelBuffers::hasCommand() const {
  std::lock_guard lock(lock_);
  return !commands_.empty();
}

void tChannelBuffers::setHost(const void* owner, HostRow row) {
  std::lock_guard lock(lock_);
  for (auto& h : hosts_) {
    if (h.first == owner) {
      h.second = std::move(row);
      return;
    }
  }
  hosts_.emplace_back(owner, std::move(row));
}

void tChannelBuffers::removeHost(const void* owner) {
  std::lock_guard lock(lock_);
  std::erase_if(hosts_, [owner](const auto& h) { return h.first == owner; });
}

std::vector<HostRow> tChannelBuffers::hosts() const {
  std::lock_guard lock(lock_);
  std::vector<HostRow> rows;
  for (const auto& h : hosts_) rows.push_back(h.second);
  return rows;
}

}  // namespace orv
