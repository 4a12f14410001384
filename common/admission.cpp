#include "common/admission.h"

#include <charconv>

#include "common/metrics.h"

namespace orv {
namespace {

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool parseNumber(std::string_view s, uint32_t max, uint32_t& out) {
  if (s.empty() || s.size() > 3) return false;
  auto r = std::from_chars(s.data(), s.data() + s.size(), out);
  return r.ec == std::errc() && r.ptr == s.data() + s.size() && out <= max;
}

}  // namespace

bool parseIpv4(std::string_view text, uint32_t& out) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) {
    const size_t dot = i < 3 ? text.find('.') : text.size();
    if (dot == std::string_view::npos) return false;
    uint32_t part = 0;
    if (!parseNumber(text.substr(0, dot), 255, part)) return false;
    value = value << 8 | part;
    text.remove_prefix(i < 3 ? dot + 1 : dot);
  }
  out = value;
  return true;
}

AddressList AddressList::parse(std::string_view text, std::string_view where) {
  AddressList list;
  while (!text.empty()) {
    const size_t comma = text.find(',');
    const std::string_view entry = trimmed(text.substr(0, comma));
    text.remove_prefix(comma == std::string_view::npos ? text.size() : comma + 1);
    if (entry.empty()) continue;
    list.restricted_ = true;
    const size_t slash = entry.find('/');
    uint32_t base = 0;
    uint32_t bits = 32;
    if (!parseIpv4(entry.substr(0, slash), base) ||
        (slash != std::string_view::npos && !parseNumber(entry.substr(slash + 1), 32, bits))) {
      diagf("%.*s: '%.*s' is neither an IPv4 address nor a range such as 10.1.0.0/16; left out",
            static_cast<int>(where.size()), where.data(), static_cast<int>(entry.size()),
            entry.data());
      continue;
    }
    const uint32_t mask = bits == 0 ? 0 : ~uint32_t{0} << (32 - bits);
    list.ranges_.push_back({base & mask, mask});
  }
  if (list.restricted_ && list.ranges_.empty()) {
    diagf("%.*s: no valid entry: nobody is admitted", static_cast<int>(where.size()), where.data());
  }
  return list;
}

bool AddressList::admits(std::string_view address) const {
  if (!restricted_) return true;
  uint32_t a = 0;
  if (!parseIpv4(address, a)) return false;
  for (const Range& r : ranges_) {
    if ((a & r.mask) == r.base) return true;
  }
  return false;
}

Admission::Admission(std::string what, AdmissionRules rules)
    : what_(std::move(what)),
      rules_(std::move(rules)),
      notListedDiag_(what_),
      addressDiag_(what_),
      fullDiag_(what_),
      evictedDiag_(what_),
      silentDiag_(what_) {}

bool Admission::admit(const std::string& address) {
  if (!rules_.allow.admits(address)) {
    refusedNotListed(address, "its Allow list");
    return false;
  }
  {
    std::lock_guard lock(lock_);
    size_t& open = open_[address];
    if (rules_.perAddress == 0 || open < rules_.perAddress) {
      ++open;
      return true;
    }
  }
  counters_.overAddressLimit.fetch_add(1, std::memory_order_relaxed);
  addressDiag_("%s refused: %zu connections from that address already", address.c_str(),
               rules_.perAddress);
  return false;
}

void Admission::release(const std::string& address) {
  std::lock_guard lock(lock_);
  auto it = open_.find(address);
  if (it == open_.end()) return;
  if (--it->second == 0) open_.erase(it);
}

void Admission::refusedNotListed(const std::string& address, const char* list) {
  counters_.notAllowed.fetch_add(1, std::memory_order_relaxed);
  notListedDiag_("%s refused: not in %s", address.c_str(), list);
}

void Admission::refusedFull(const std::string& address, size_t slots) {
  counters_.full.fetch_add(1, std::memory_order_relaxed);
  fullDiag_("%s refused: all %zu connections have exchanged valid traffic", address.c_str(), slots);
}

void Admission::evicted(const std::string& address) {
  counters_.evicted.fetch_add(1, std::memory_order_relaxed);
  evictedDiag_("%s closed to make room: it sent nothing valid yet", address.c_str());
}

void Admission::timedOut(const std::string& address) {
  counters_.silent.fetch_add(1, std::memory_order_relaxed);
  silentDiag_("%s closed: nothing valid within %g s", address.c_str(),
              rules_.firstExchangeMs / 1000.0);
}

void reportAdmission(MetricsSink& sink, const MetricLabels& labels,
                     const AdmissionCounters& counters) {
  const std::pair<const char*, const std::atomic<uint64_t>*> reasons[] = {
      {"not_allowed", &counters.notAllowed},
      {"per_address", &counters.overAddressLimit},
      {"full", &counters.full},
      {"evicted", &counters.evicted},
      {"silent", &counters.silent}};
  for (const auto& [reason, count] : reasons) {
    MetricLabels l = labels;
    l.emplace_back("reason", reason);
    sink.counter("orv_input_refused_total",
                 "Connections refused or ended by the admission rules, by reason", l,
                 static_cast<double>(count->load(std::memory_order_relaxed)));
  }
}

}  // namespace orv
