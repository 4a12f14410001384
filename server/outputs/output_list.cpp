#include "server/outputs/output_list.h"

#include "server/core/config.h"

namespace orv {

tOList::tOList(const IniFile& ini, bool comOn, const std::filesystem::path& programDir,
               std::atomic<uint8_t>* outputsChanged, bool acknowledgeStored)
    : store_(std::make_unique<JournalStore>(acknowledgeStored ? std::chrono::milliseconds(0)
                                                              : std::chrono::milliseconds(20))),
      acknowledgeStored_(acknowledgeStored) {
  auto add = [&](const std::string& section) {
    items_.push_back(std::make_unique<tOItem>(ini, section, programDir, *store_, outputsChanged));
  };
  if (comOn) add("Com");
  for (const std::string& section : ini.sections()) {
    if (beginsWith(section, "Client")) add(section);
  }
  store_->start();
  for (const auto& item : items_) {
    if (item->forwarder() != nullptr) forwarders_.push_back(std::make_unique<TOOThread>(*item));
  }
}

tOList::~tOList() {
  forwarders_.clear();
  store_->close();  // while the items it reads are still there
}

tOItem* tOList::find(std::string_view id) const {
  for (const auto& item : items_) {
    if (item->id() == id) return item.get();
  }
  return nullptr;
}

uint64_t tOList::pushLine(std::string_view line, const EventKeys& event) {
  std::lock_guard lock(pushLock_);
  uint64_t ticket = 0;
  for (const auto& item : items_) {
    std::vector<std::string> lines;
    if (item->passes(event)) lines.emplace_back(line);
    ticket = std::max(ticket, item->appendAndTrim(std::move(lines)));
  }
  return ticket;
}

uint64_t tOList::pushModuleMessage(const ModuleMessage& message, const EventKeys& event) {
  std::lock_guard lock(pushLock_);
  uint64_t ticket = 0;
  for (const auto& item : items_) {
    ModuleLines built;
    if (item->passes(event)) {
      built = buildModuleLines(item->templates(), item->dateFlag(), message);
      if (ForwardQueue* forwarder = item->forwarder()) {
        for (std::string& l : built.forward) forwarder->add(std::move(l));
      }
    }
    ticket = std::max(ticket, item->appendAndTrim(std::move(built.queue)));
  }
  return ticket;
}

}  // namespace orv
