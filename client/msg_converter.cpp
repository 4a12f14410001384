#include "client/msg_converter.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "common/hex_record.h"
#include "common/local_time.h"

namespace orv {
namespace {

constexpr std::string_view kDefaultLineMap = "0123456789abcdef";
constexpr std::string_view kSiaFunctions = "0ENO@#AIXL&";
constexpr std::string_view kSiaModifiers[] = {"da", "ti", "ri", "id", "Pi", "ai", "ph"};
constexpr uint16_t kBadAccountLine = 16;
const char kEmptyText[] = "";

// Characters pos.. pos+count-1 of s, counted from 1; what exists of them.
std::string_view copy(std::string_view s, size_t pos, size_t count) {
  if (pos < 1 || pos > s.size()) return {};
  return s.substr(pos - 1, count);
}

std::string_view trimLeft(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  return s;
}

std::string_view trimSpaces(std::string_view s) {
  s = trimLeft(s);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

std::string padLeft(std::string_view s, size_t width) {
  std::string out;
  if (s.size() < width) out.assign(width - s.size(), ' ');
  out.append(s);
  return out;
}

template <size_t N>
void setText(uint8_t (&field)[N], std::string_view text) {
  size_t n = std::min(text.size(), N - 1);
  field[0] = static_cast<uint8_t>(n);
  // The part of a short line that is missing comes as an empty view without storage, and
  // memcpy must never see a null source, even for no bytes.
  if (n > 0) std::memcpy(field + 1, text.data(), n);
}

// Two decimal digits, or -1.
int twoDigits(std::string_view s, size_t at) {
  if (at + 2 > s.size()) return -1;
  char a = s[at], b = s[at + 1];
  if (a < '0' || a > '9' || b < '0' || b > '9') return -1;
  return (a - '0') * 10 + (b - '0');
}

// Replaces every `from` by `to`, scanning once from the left (a replacement is not scanned
// again).
std::string replaceAll(std::string_view s, std::string_view from, std::string_view to) {
  std::string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    if (s.compare(i, from.size(), from) == 0) {
      out.append(to);
      i += from.size();
    } else {
      out.push_back(s[i++]);
    }
  }
  return out;
}

void skipPastSlash(std::string& text) {
  size_t slash = text.find('/');
  text.erase(0, slash == std::string::npos ? text.size() : slash + 1);
}

bool isModifier(std::string_view two) {
  return std::find(std::begin(kSiaModifiers), std::end(kSiaModifiers), two) !=
         std::end(kSiaModifiers);
}

}  // namespace

std::string makeLineMap(std::string_view value) {
  std::string map(kDefaultLineMap);
  map.replace(0, std::min(value.size(), map.size()), value.substr(0, map.size()));
  return map;
}

int32_t tMsgConverter::getMsg(std::deque<std::string>& lines, OrvMessage& msg) {
  if (!pending_.empty()) {
    const PendingEvent e = pending_.front();
    pending_.pop_front();
    msg.receiver = pendingReceiver_;
    msg.line = pendingLine_;
    msg.account = pendingAccount_;
    setText(msg.area, e.area);
    setText(msg.code, e.code);
    msg.time.wYear = PELKON_NO_TIME;
    msg.extra = kEmptyText;
    return static_cast<int32_t>(std::max<size_t>(lines.size(), 1));
  }
  if (lines.empty()) return 0;
  std::string line = std::move(lines.front());
  lines.pop_front();
  waiting_ = lines.size();
  std::string_view s(line);
  if (s.size() > kMaxLineUsed) s = s.substr(0, kMaxLineUsed);
  if (s.empty()) return 0;
  switch (s[0]) {
    case '1':
      return convertStatus(s, msg);
    case '5':
      return convertEvent(s, msg);
    case '3':
      return convertThree(s, msg);
    case 'S':
      return convertSia(s, msg);
    case 'U':
      return convertIdentity(s, msg);
    default:
      return 0;
  }
}

void tMsgConverter::fillHead(std::string_view s, std::string_view account, OrvMessage& msg) const {
  std::string_view r = trimSpaces(copy(s, 2, 2));
  uint32_t receiver = 0;
  if (std::from_chars(r.data(), r.data() + r.size(), receiver).ptr != r.data() + r.size()) {
    receiver = 0;
  }
  msg.receiver = receiver;
  const std::string_view digitText = copy(s, 4, 1);
  const int digit = digitText.empty() ? -1 : hexDigitValue(digitText[0]);
  std::optional<uint32_t> value = parseHex(trimLeft(account));
  msg.account = value.value_or(0);
  if (!value || digit < 0) {
    msg.line = kBadAccountLine;
  } else if (*value != 0) {
    int mapped = hexDigitValue(options_.lineMap[static_cast<size_t>(digit)]);
    msg.line = mapped < 0 ? kBadAccountLine : static_cast<uint16_t>(mapped);
  } else {
    msg.line = static_cast<uint16_t>(digit);
  }
}

void tMsgConverter::fillTime(std::string_view s, OrvMessage& msg) const {
  msg.time.wYear = PELKON_NO_TIME;
  if (options_.pcTime || s.size() <= 19) return;
  std::string_view suffix = s.substr(20);
  LocalDateTime t;
  t.year = WallClock::localNow().year;
  t.hour = twoDigits(suffix, 0);
  t.minute = twoDigits(suffix, 3);
  t.second = twoDigits(suffix, 6);
  t.day = twoDigits(suffix, 9);
  t.month = twoDigits(suffix, 12);
  if (t.hour < 0 || t.minute < 0 || t.second < 0 || t.day < 0 || t.month < 0 ||
      !isValidDateTime(t)) {
    return;
  }
  msg.time.wYear = static_cast<uint16_t>(t.year);
  msg.time.wMonth = static_cast<uint16_t>(t.month);
  msg.time.wDay = static_cast<uint16_t>(t.day);
  msg.time.wHour = static_cast<uint16_t>(t.hour);
  msg.time.wMinute = static_cast<uint16_t>(t.minute);
  msg.time.wSecond = static_cast<uint16_t>(t.second);
}

int32_t tMsgConverter::convertStatus(std::string_view s, OrvMessage& msg) {
  modifier_.clear();
  fillHead(s, copy(s, 11, 4), msg);
  std::string four = std::string(copy(s, 16, 1)) + std::string(copy(s, 18, 3));
  if (msg.account != 0 && msg.line == 1) {
    four.erase(std::remove(four.begin(), four.end(), ' '), four.end());
    four = padLeft(four, 4);
  }
  setText(msg.area, " " + std::string(copy(s, 17, 1)));
  setText(msg.code, "   " + four);
  msg.extra = kEmptyText;
  fillTime(s, msg);
  return static_cast<int32_t>(std::max<size_t>(waiting_, 1));
}

int32_t tMsgConverter::convertEvent(std::string_view s, OrvMessage& msg) {
  modifier_.clear();
  fillHead(s, copy(s, 8, 4), msg);
  setText(msg.area, copy(s, 16, 2));
  setText(msg.code, std::string(copy(s, 12, 4)) + std::string(copy(s, 18, 3)));
  msg.extra = kEmptyText;
  fillTime(s, msg);
  return static_cast<int32_t>(std::max<size_t>(waiting_, 1));
}

int32_t tMsgConverter::convertThree(std::string_view s, OrvMessage& msg) {
  if (copy(s, 15, 2) == "ri") {
    modifier_ = "ri";
    riArea_ = std::string(trimSpaces(copy(s, 17, 2)));
    setText(msg.area, riArea_);
    return 0;
  }
  fillHead(s, copy(s, 11, 4), msg);
  if (modifier_ != "ri") {
    setText(msg.area, "  ");
    setText(msg.code, "  " + std::string(copy(s, 15, 2)) + std::string(copy(s, 18, 3)));
  } else {
    modifier_.clear();
    // The area of the "ri" line before, kept here rather than read back from the record, which
    // the host may not have passed again.
    setText(msg.area, padLeft(riArea_, 2));
    setText(msg.code, "  " + std::string(copy(s, 15, 2)) + " " + std::string(copy(s, 17, 2)));
  }
  msg.extra = kEmptyText;
  fillTime(s, msg);
  return static_cast<int32_t>(std::max<size_t>(waiting_, 1));
}

int32_t tMsgConverter::convertIdentity(std::string_view s, OrvMessage& msg) {
  modifier_.clear();
  if (!options_.uEnable) return 0;
  fillHead(s, copy(s, 7, 4), msg);
  setText(msg.area, "  ");
  setText(msg.code, "       ");
  std::string_view id = s.size() > 10 ? s.substr(10) : std::string_view{};
  id = id.substr(0, id.find('F'));
  extra_.assign(id);
  msg.extra = extra_.c_str();
  return static_cast<int32_t>(std::max<size_t>(waiting_, 1));
}

int32_t tMsgConverter::convertSia(std::string_view s, OrvMessage& msg) {
  blockCode_ = ' ';
  modifier_.clear();
  std::string t = replaceAll(s, "/,", "/");
  t = replaceAll(t, " ,", "/");
  std::replace(t.begin(), t.end(), ',', '/');

  const size_t close = t.find(']');
  if (close == std::string::npos || close + 1 < 6) return 0;
  t.resize(close);

  // The account is the run of hex digits after "#"; the character after the run ends it.
  std::string account;
  std::string text;
  const size_t hash = t.find('#');
  if (hash != std::string::npos) {
    size_t end = hash + 1;
    while (end < t.size() &&
           ((t[end] >= '0' && t[end] <= '9') || (t[end] >= 'A' && t[end] <= 'F'))) {
      ++end;
    }
    account = t.substr(hash + 1, end - hash - 1);
    if (end + 1 < t.size()) text = t.substr(end + 1);
  }
  OrvMessage head{};
  fillHead(t, account, head);

  std::string area = "  ";
  int events = 0;
  auto found = [&](std::string code) {
    while (code.size() < 5) {
      if (code.size() >= 2)
        code.insert(2, 1, ' ');
      else
        code.push_back(' ');
    }
    code = padLeft(code, 7);
    if (events++ == 0) {
      msg.receiver = head.receiver;
      msg.line = head.line;
      msg.account = head.account;
      setText(msg.area, area);
      setText(msg.code, code);
      msg.time.wYear = PELKON_NO_TIME;
      msg.extra = kEmptyText;
    } else {
      pending_.push_back({area, code});
    }
  };

  while (!text.empty()) {
    if (kSiaFunctions.find(text[0]) != std::string_view::npos) {
      blockCode_ = text[0];
      text.erase(0, 1);
    }
    if (blockCode_ != 'E' && blockCode_ != 'N') {
      skipPastSlash(text);
      continue;
    }
    if (text.size() >= 2 && isModifier(std::string_view(text).substr(0, 2))) {
      modifier_ = text.substr(0, 2);
      text.erase(0, 2);
      size_t digits = 0;
      while (digits < 2 && digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
        ++digits;
      }
      if (digits == 2)
        area = text.substr(0, 2);
      else if (digits == 1)
        area[1] = text[0];
      text.erase(0, digits);
      size_t skip = 0;
      while (skip < text.size() && (text[skip] == '/' || text[skip] == ',' || text[skip] == ' ')) {
        ++skip;
      }
      text.erase(0, skip);
    }
    if (modifier_ == "ri") {
      const size_t slash = text.find('/');
      std::string code = text.substr(0, std::min<size_t>(slash, 7));
      text.erase(0, slash == std::string::npos ? text.size() : slash + 1);
      // An empty code ("//" after the area) is no event.
      if (!code.empty()) found(std::move(code));
    } else {
      skipPastSlash(text);
    }
  }

  if (events > 0) {
    pendingReceiver_ = head.receiver;
    pendingLine_ = head.line;
    pendingAccount_ = head.account;
    return 1;
  }
  msg.receiver = head.receiver;
  msg.line = 0;
  msg.account = 0;
  setText(msg.area, "..");
  setText(msg.code, ".......");
  msg.time.wYear = PELKON_NO_TIME;
  msg.extra = kEmptyText;
  return static_cast<int32_t>(std::max<size_t>(waiting_, 1));
}

}  // namespace orv
