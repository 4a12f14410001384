#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/diag.h"

namespace orv {

// IPv4 addresses and CIDR ranges, as an Allow= key lists them: "10.1.0.0/16, 192.0.2.7".
class AddressList {
 public:
  // Entries that are neither an address nor a range are reported, naming `where`, and left
  // out. A list that names something but nothing valid admits nobody: a mistyped range must
  // not open the input to everybody.
  static AddressList parse(std::string_view text, std::string_view where);

  // Nothing listed: everybody is admitted.
  bool admitsAll() const { return !restricted_; }
  // Whether the dotted address lies in one of the ranges (always, for an empty list).
  bool admits(std::string_view address) const;

 private:
  struct Range {
    uint32_t base;
    uint32_t mask;
  };
  std::vector<Range> ranges_;
  bool restricted_ = false;
};

// The dotted IPv4 address as a number in host order, or false.
bool parseIpv4(std::string_view text, uint32_t& out);

// What an input demands of its peers, beyond the slots it has.
struct AdmissionRules {
  AddressList allow;             // empty: everybody
  size_t perAddress = 0;         // open connections per source address; 0: no limit
  uint32_t firstExchangeMs = 0;  // to the first valid exchange; 0: no limit
};

// How often the rules turned a peer away or ended it; read by the status and the metrics.
struct AdmissionCounters {
  std::atomic<uint64_t> notAllowed{0};  // not in the Allow list
  std::atomic<uint64_t> overAddressLimit{0};
  std::atomic<uint64_t> full{0};     // every slot taken by a peer that had exchanged
  std::atomic<uint64_t> evicted{0};  // made room for a new peer
  std::atomic<uint64_t> silent{0};   // no valid exchange within the limit
};

class MetricsSink;
// The refusals counted, as orv_input_refused_total{reason=...} under the input's labels.
void reportAdmission(MetricsSink& sink,
                     const std::vector<std::pair<std::string, std::string>>& labels,
                     const AdmissionCounters& counters);

// The door of one listening input: checks each new peer against the rules, counts the open
// connections per source address, and says why a peer was turned away, rate-limited so that an
// attack cannot flood stderr. Safe from any thread.
class Admission {
 public:
  Admission(std::string what, AdmissionRules rules);

  // Whether a new peer may connect; an admitted peer counts as open until release().
  bool admit(const std::string& address);
  void release(const std::string& address);

  // The peer is not on the input's own list of admitted addresses (admit() checks Allow).
  void refusedNotListed(const std::string& address, const char* list);
  // The input had no slot for the peer (it is closed without a word).
  void refusedFull(const std::string& address, size_t slots);
  // A connection that never exchanged anything valid made room for a new one.
  void evicted(const std::string& address);
  // A connection ended for want of a valid exchange within the limit.
  void timedOut(const std::string& address);

  uint32_t firstExchangeMs() const { return rules_.firstExchangeMs; }
  const AdmissionCounters& counters() const { return counters_; }

 private:
  std::string what_;
  AdmissionRules rules_;
  std::mutex lock_;
  std::unordered_map<std::string, size_t> open_;
  AdmissionCounters counters_;
  // One rate limit per reason: a flood of one kind must not hide the others.
  PeerDiag notListedDiag_, addressDiag_, fullDiag_, evictedDiag_, silentDiag_;
};

}  // namespace orv
