#include "server/core/account_filter.h"

#include <gtest/gtest.h>

namespace orv {
namespace {

tAFList load(std::string_view text) {
  tAFList list;
  list.load(IniFile::fromText(text));
  return list;
}

TEST(AccountFilter, EmptyListAcceptsEveryAccount) {
  tAFList list = load("[Other]\nA=1,2\n");
  EXPECT_TRUE(list.items().empty());
  EXPECT_TRUE(list.accepts(0));
  EXPECT_TRUE(list.accepts(0xFFFF));
}

TEST(AccountFilter, RangesAreInclusiveAndReadDecimalOrDollarHex) {
  tAFList list = load(
      "[AccFilter]\n"
      "a=100,200\n"
      "b=$1000,$10FF\n");
  ASSERT_EQ(list.items().size(), 2u);
  EXPECT_TRUE(list.accepts(100));
  EXPECT_TRUE(list.accepts(200));
  EXPECT_FALSE(list.accepts(99));
  EXPECT_FALSE(list.accepts(201));
  EXPECT_TRUE(list.accepts(0x1000));
  EXPECT_TRUE(list.accepts(0x10FF));
  EXPECT_FALSE(list.accepts(0x1100));
}

TEST(AccountFilter, SkipsKeysWithoutCommaOrWithBadBounds) {
  tAFList list = load(
      "[AccFilter]\n"
      "nocomma=100\n"
      "badlow=x1,5\n"
      "badhigh=1,5y\n"
      "empty=,\n"
      "good=7,9\n");
  ASSERT_EQ(list.items().size(), 1u);
  EXPECT_EQ(list.items()[0].low, 7);
  EXPECT_EQ(list.items()[0].high, 9);
  EXPECT_FALSE(list.accepts(100));
}

TEST(AccountFilter, SplitsAtTheFirstComma) {
  // "1,2,3": the high bound "2,3" is not a number, so the key is skipped.
  EXPECT_TRUE(load("[AccFilter]\nk=1,2,3\n").items().empty());
}

}  // namespace
}  // namespace orv
