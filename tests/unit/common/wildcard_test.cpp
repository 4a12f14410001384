#include "common/wildcard.h"

#include <gtest/gtest.h>

#include <string>

namespace orv {
namespace {

struct MaskCase {
  const char* text;
  const char* mask;
  bool matches;
};

class Wildcard : public testing::TestWithParam<MaskCase> {};

TEST_P(Wildcard, Matches) {
  const MaskCase& c = GetParam();
  EXPECT_EQ(matchesMask(c.text, c.mask), c.matches) << '"' << c.text << "\" vs \"" << c.mask << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Masks, Wildcard,
    testing::Values(
        MaskCase{"anything", "*", true}, MaskCase{"", "*", true}, MaskCase{"", "***", true},
        MaskCase{"", "", true}, MaskCase{"a", "", false}, MaskCase{"", "?", false},
        MaskCase{"", "a", false}, MaskCase{"abc", "a?c", true}, MaskCase{"ac", "a?c", false},
        MaskCase{"abbc", "a?c", false}, MaskCase{"ABC", "abc", true},
        MaskCase{"Report.TXT", "*.txt", true}, MaskCase{"report.txt.bak", "*.txt", false},
        MaskCase{"abc", "ab", false}, MaskCase{"ab", "abc", false},
        // A "*" in the middle has to give back what it took.
        MaskCase{"axxbyyc", "a*b*c", true}, MaskCase{"axxbyy", "a*b*c", false},
        MaskCase{"abcbc", "a*bc", true}, MaskCase{"abcbd", "a*bc", false},
        MaskCase{"mississippi", "m*iss*ppi", true}, MaskCase{"mississippi", "m*iss*x", false},
        MaskCase{"ab", "a*b*", true}, MaskCase{"aXb", "*?b", true}, MaskCase{"b", "*?b", false},
        MaskCase{"?*", "??", true},
        // Account masks.
        MaskCase{"1234", "12??", true}, MaskCase{"123", "12??", false},
        MaskCase{"12345", "12??", false}, MaskCase{"1299", "12*", true},
        MaskCase{"1334", "12??", false}));

// Naive recursion over many stars takes exponential time on such inputs; a regression here
// shows up as a test that never ends.
TEST(WildcardLong, ManyStarsAgainstALongTextFinish) {
  std::string text(5000, 'a');
  std::string mask;
  for (int i = 0; i < 60; ++i) mask += "*a";
  EXPECT_FALSE(matchesMask(text, mask + "*b"));
  EXPECT_TRUE(matchesMask(text + "b", mask + "*b"));
  EXPECT_TRUE(matchesMask(text, mask + "*"));
}

}  // namespace
}  // namespace orv
