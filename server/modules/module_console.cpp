#include "server/modules/module_console.h"

namespace orv {

void ModuleConsole::trace(std::string_view text) const {
  std::lock_guard lock(sinkLock_);
  if (traceSink_) traceSink_(text);
}

void ModuleConsole::setTraceSink(std::function<void(std::string_view)> sink) {
  std::lock_guard lock(sinkLock_);
  traceSink_ = std::move(sink);
}

void ModuleConsole::setWatch(std::string identifier,
                             std::function<void(bool, std::string_view)> sink) {
  std::lock_guard lock(sinkLock_);
  watchedId_ = std::move(identifier);
  watchSink_ = std::move(sink);
}

void ModuleConsole::watch(std::string_view identifier, bool incoming, std::string_view text) const {
  std::lock_guard lock(sinkLock_);
  if (watchSink_ && identifier == watchedId_) watchSink_(incoming, text);
}

}  // namespace orv
