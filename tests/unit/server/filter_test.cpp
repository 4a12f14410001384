#include "server/outputs/filter.h"

#include <gtest/gtest.h>

namespace orv {
namespace {

tFItem gprs(std::string idMask, uint16_t acc0 = 0) {
  return tFItem{std::move(idMask), "", 0, acc0, 0};
}
tFItem phone(std::string phoneMask, uint16_t acc0 = 0) {
  return tFItem{"", std::move(phoneMask), 0, acc0, 0};
}
tFItem line(EventSource source, std::string idMask, uint16_t acc0 = 0) {
  return tFItem{std::move(idMask), "", 0, acc0, static_cast<uint16_t>(source)};
}

TEST(FilterValue, ParsesTheFiveFieldsAndFormatsThemBack) {
  tFItem f = tFItem::parse("12??;+4930*;1f;1;2");
  EXPECT_EQ(f, (tFItem{"12??", "+4930*", 0x1F, 1, 2}));
  EXPECT_EQ(f.format(), "12??;+4930*;1f;1;2");
}

TEST(FilterValue, MissingOrBadFieldsAreEmptyOrZero) {
  EXPECT_EQ(tFItem::parse("AB*"), (tFItem{"AB*", "", 0, 0, 0}));
  EXPECT_EQ(tFItem::parse("AB*;;;1"), (tFItem{"AB*", "", 0, 1, 0}));
  EXPECT_EQ(tFItem::parse(";;zz;q;TcpDrv"), (tFItem{"", "", 0, 0, 0}));  // source "GPRS"
  EXPECT_EQ(tFItem::parse(""), (tFItem{}));
}

TEST(ModuleFilter, MaskMatchesTheWholeIdentifier) {
  tFList filters{gprs("12??")};
  EXPECT_TRUE(filtersPass(filters, EventKeys::module("1234", false)));
  EXPECT_TRUE(filtersPass(filters, EventKeys::module("12ab", false)));
  EXPECT_FALSE(filtersPass(filters, EventKeys::module("12345", false)));
  EXPECT_FALSE(filtersPass(filters, EventKeys::module("123", false)));
  EXPECT_FALSE(filtersPass(filters, EventKeys::module("0123", false)));
  EXPECT_TRUE(filtersPass({gprs("abc*")}, EventKeys::module("ABCDEF", false)));  // case
}

TEST(ModuleFilter, Acc0PassesAccountZeroWhateverTheIdentifier) {
  EXPECT_TRUE(filtersPass({gprs("X", 1)}, EventKeys::module("1234", true)));
  EXPECT_FALSE(filtersPass({gprs("X", 1)}, EventKeys::module("1234", false)));
  EXPECT_FALSE(filtersPass({gprs("X", 0)}, EventKeys::module("1234", true)));
}

TEST(DeviceFilter, MatchesTheCallerNumberAgainstThePhoneMask) {
  tFList filters{phone("+49*")};
  EXPECT_TRUE(filtersPass(filters, EventKeys::device("+491701234", std::nullopt)));
  EXPECT_FALSE(filtersPass(filters, EventKeys::device("+431701234", std::nullopt)));
  // The ID mask plays no part for device lines.
  EXPECT_FALSE(filtersPass({gprs("*")}, EventKeys::device("+431701234", std::nullopt)));
  EXPECT_TRUE(filtersPass({phone("none", 1)}, EventKeys::device("+43", 0u)));
}

TEST(LineFilter, MaskIsAHexNumberComparedWithTheAccount) {
  const std::string tcpLine = "5011 181A2BE13001015";
  EventKeys event = EventKeys::line(EventSource::TcpDrv, tcpLine);
  ASSERT_EQ(event.account, 0x1A2Bu);
  EXPECT_TRUE(filtersPass({line(EventSource::TcpDrv, "1a2b")}, event));
  EXPECT_TRUE(filtersPass({line(EventSource::TcpDrv, "1A2B")}, event));
  EXPECT_FALSE(filtersPass({line(EventSource::TcpDrv, "1a2c")}, event));
  EXPECT_TRUE(filtersPass({line(EventSource::TcpDrv, "*")}, event));
  // Wildcards other than "*" alone are no hex number: they match nothing.
  EXPECT_FALSE(filtersPass({line(EventSource::TcpDrv, "1a*")}, event));
  EXPECT_FALSE(filtersPass({line(EventSource::TcpDrv, "1a2g")}, event));
}

TEST(LineFilter, LeadingSpacesOfTheAccountAndAcc0) {
  EventKeys spaced = EventKeys::line(EventSource::Sia, "5001 18 123E13001015");
  EXPECT_EQ(spaced.account, 0x123u);
  EXPECT_TRUE(filtersPass({line(EventSource::Sia, "123")}, spaced));

  EventKeys zero = EventKeys::line(EventSource::TcpDrv, "5011 180000E13001015");
  EXPECT_TRUE(zero.accountZero);
  EXPECT_TRUE(filtersPass({line(EventSource::TcpDrv, "FFFF", 1)}, zero));
  EXPECT_FALSE(filtersPass({line(EventSource::TcpDrv, "FFFF", 0)}, zero));

  EventKeys garbage = EventKeys::line(EventSource::TcpDrv, "5011 18XYZ!E13001015");
  EXPECT_FALSE(garbage.account.has_value());
  EXPECT_TRUE(filtersPass({line(EventSource::TcpDrv, "*")}, garbage));
  EXPECT_FALSE(filtersPass({line(EventSource::TcpDrv, "0", 1)}, garbage));
  EXPECT_FALSE(EventKeys::line(EventSource::TcpDrv, "5011").account.has_value());
}

TEST(FilterList, EmptyListTakesEverythingOtherwiseFirstMatchOfTheSameSource) {
  EXPECT_TRUE(filtersPass({}, EventKeys::module("any", false)));
  EXPECT_TRUE(filtersPass({}, EventKeys::line(EventSource::Sia, "5001 181234")));

  // Filters all of source TcpDrv: nothing from modules, devices or SIA gets through.
  tFList tcpOnly{line(EventSource::TcpDrv, "*", 1), line(EventSource::TcpDrv, "1234")};
  EXPECT_FALSE(filtersPass(tcpOnly, EventKeys::module("1234", true)));
  EXPECT_FALSE(filtersPass(tcpOnly, EventKeys::device("1234", 0u)));
  EXPECT_FALSE(filtersPass(tcpOnly, EventKeys::line(EventSource::Sia, "5001 181234E130")));
  EXPECT_TRUE(filtersPass(tcpOnly, EventKeys::line(EventSource::TcpDrv, "5011 181234E130")));

  tFList mixed{gprs("9999"), line(EventSource::Sia, "1234")};
  EXPECT_TRUE(filtersPass(mixed, EventKeys::line(EventSource::Sia, "5001 181234E130")));
  EXPECT_FALSE(filtersPass(mixed, EventKeys::module("1234", false)));
}

}  // namespace
}  // namespace orv
