#include "server/outputs/filter.h"

#include <charconv>
#include <cstdio>

#include "common/hex_record.h"
#include "common/wildcard.h"
#include "server/outputs/output_line.h"

namespace orv {
namespace {

// Masks match the whole text: "_" on both sides stops "12" from matching inside "3124".
bool wholeMatch(std::string_view text, std::string_view mask) {
  std::string t = "_" + std::string(text) + "_";
  std::string m = "_" + std::string(mask) + "_";
  return matchesMask(t, m);
}

std::string_view nextField(std::string_view& rest) {
  size_t semi = rest.find(';');
  std::string_view field = rest.substr(0, semi);
  rest = semi == std::string_view::npos ? std::string_view() : rest.substr(semi + 1);
  return field;
}

}  // namespace

EventKeys EventKeys::module(std::string_view identifier, bool accountIsZero) {
  EventKeys k;
  k.source = EventSource::Gprs;
  k.id = identifier;
  k.accountZero = accountIsZero;
  return k;
}

EventKeys EventKeys::device(std::string_view phone, std::optional<uint32_t> account) {
  EventKeys k;
  k.source = EventSource::Gprs;
  k.id = phone;
  k.fromDevice = true;
  k.account = account;
  k.accountZero = account && *account == 0;
  return k;
}

EventKeys EventKeys::line(EventSource source, std::string_view line) {
  EventKeys k;
  k.source = source;
  k.account = lineAccount(line);
  k.accountZero = k.account && *k.account == 0;
  return k;
}

tFItem tFItem::parse(std::string_view value) {
  tFItem f;
  f.idMask = std::string(nextField(value));
  f.phoneMask = std::string(nextField(value));
  f.reserved = static_cast<int32_t>(parseHex(nextField(value)).value_or(0));
  f.acc0 = static_cast<uint16_t>(parseHex(nextField(value)).value_or(0));
  std::string_view source = nextField(value);
  unsigned s = 0;
  auto res = std::from_chars(source.data(), source.data() + source.size(), s);
  bool ok = res.ec == std::errc() && res.ptr == source.data() + source.size() && s <= 0xFFFF;
  f.source = static_cast<uint16_t>(ok ? s : 0);  // a non-numeric source is "GPRS"
  return f;
}

std::string tFItem::format() const {
  char numbers[64];
  std::snprintf(numbers, sizeof numbers, ";%x;%x;%d", static_cast<unsigned>(reserved),
                static_cast<unsigned>(acc0), static_cast<int>(source));
  return idMask + ";" + phoneMask + numbers;
}

bool tFItem::matches(const EventKeys& event) const {
  if (source != static_cast<uint16_t>(event.source)) return false;
  if (acc0 == 1 && event.accountZero) return true;
  if (event.source == EventSource::Gprs) {
    return wholeMatch(event.id, event.fromDevice ? phoneMask : idMask);
  }
  // TcpDrv and SIA: "*", or the mask read as a hexadecimal number equals the account. A mask
  // that is no hex number matches nothing else.
  if (idMask == "*") return true;
  std::optional<uint32_t> mask = parseHex(idMask);
  return mask && event.account && *mask == *event.account;
}

bool filtersPass(const tFList& filters, const EventKeys& event) {
  if (filters.empty()) return true;
  for (const tFItem& f : filters) {
    if (f.matches(event)) return true;
  }
  return false;
}

}  // namespace orv
