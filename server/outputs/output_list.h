#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/ini_file.h"
#include "server/outputs/filter.h"
#include "server/outputs/forwarder.h"
#include "server/outputs/module_lines.h"
#include "server/outputs/output_item.h"
#include "server/outputs/queue_store.h"

namespace orv {

// The output channels in list order: "Com" first when [Out] ComOn, then every section whose
// name begins with "Client" (case-sensitive) in file order. Built and destroyed only while no
// thread uses it; the items themselves are safe to use from any thread.
class tOList {
 public:
  // With `acknowledgeStored`, durability() tells the inputs when an event is on disk; without
  // it, it is null and the inputs acknowledge at once.
  tOList(const IniFile& ini, bool comOn, const std::filesystem::path& programDir,
         std::atomic<uint8_t>* outputsChanged = nullptr, bool acknowledgeStored = true);
  ~tOList();  // forwarders stop, and the queue files get their last state before the items go

  const std::vector<std::unique_ptr<tOItem>>& items() const { return items_; }
  size_t count() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  // The item a client selects by name (the first with that Id), or nullptr.
  tOItem* find(std::string_view id) const;

  // The one way an input hands over an event. Items are tried in list order; each item whose
  // filters pass the event takes the line (or the lines the templates build from a module
  // message), and every item is trimmed to its queue size. Pushes from different inputs never
  // interleave. Returns the event's ticket: the sender may be told that the event is stored
  // once durability() reaches it; 0 when no item took it. Safe to call from any thread.
  uint64_t pushLine(std::string_view line, const EventKeys& event);
  uint64_t pushModuleMessage(const ModuleMessage& message, const EventKeys& event);

  // What the inputs wait on before they acknowledge; null when they acknowledge at once.
  Durability* durability() { return acknowledgeStored_ ? store_.get() : nullptr; }
  QueueStore& store() { return *store_; }

 private:
  std::unique_ptr<QueueStore> store_;
  bool acknowledgeStored_;
  std::vector<std::unique_ptr<tOItem>> items_;
  std::vector<std::unique_ptr<TOOThread>> forwarders_;
  std::mutex pushLock_;
};

}  // namespace orv
