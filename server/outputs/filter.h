#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orv {

// The input an event came from, as the filters name it.
enum class EventSource : uint16_t { Gprs = 0, TcpDrv = 1, Sia = 2 };

// What an input tells the filters about one event.
struct EventKeys {
  EventSource source = EventSource::Gprs;
  // Source Gprs: the module identifier, or for a GSM receiver line the caller's number.
  std::string_view id;
  bool fromDevice = false;  // a GSM receiver line: `id` is a telephone number
  // Module events: the four account characters are "0000". Lines: the account they carry.
  bool accountZero = false;
  std::optional<uint32_t> account;

  static EventKeys module(std::string_view identifier, bool accountIsZero);
  static EventKeys device(std::string_view phone, std::optional<uint32_t> account);
  // TcpDrv and SIA lines: the account is read from characters 8-11 of the line.
  static EventKeys line(EventSource source, std::string_view line);
};

// One filter of an output item, in the field order of its INI value "%s;%s;%x;%x;%d".
struct tFItem {
  std::string idMask;     // account or module identifier mask
  std::string phoneMask;  // caller telephone number mask
  int32_t reserved = 0;   // kept and written back, never matched
  uint16_t acc0 = 0;      // 1: also pass every event whose account is zero
  uint16_t source = 0;    // EventSource

  static tFItem parse(std::string_view value);
  std::string format() const;
  bool matches(const EventKeys& event) const;

  friend bool operator==(const tFItem&, const tFItem&) = default;
};

using tFList = std::vector<tFItem>;

// An item without filters takes every event; otherwise the first matching filter passes it.
bool filtersPass(const tFList& filters, const EventKeys& event);

}  // namespace orv
