#include "common/admission.h"

#include <gtest/gtest.h>

namespace orv {
namespace {

TEST(AddressList, AdmitsAddressesAndRangesItNames) {
  AddressList list = AddressList::parse(" 10.1.0.0/16,192.0.2.7 ,, 172.16.5.9/0x", "[T] Allow");
  EXPECT_FALSE(list.admitsAll());
  EXPECT_TRUE(list.admits("10.1.255.3"));
  EXPECT_FALSE(list.admits("10.2.0.1"));
  EXPECT_TRUE(list.admits("192.0.2.7"));
  EXPECT_FALSE(list.admits("192.0.2.8"));
  EXPECT_FALSE(list.admits("172.16.5.9")) << "a malformed entry admits nothing";
  EXPECT_FALSE(list.admits("not an address"));

  // A range given with host bits set covers its network.
  EXPECT_TRUE(AddressList::parse("192.168.7.99/24", "t").admits("192.168.7.1"));
  EXPECT_TRUE(AddressList::parse("0.0.0.0/0", "t").admits("203.0.113.9"));
  EXPECT_FALSE(AddressList::parse("127.0.0.1/32", "t").admits("127.0.0.2"));
}

TEST(AddressList, EmptyAdmitsEverybodyButAListOfMistakesAdmitsNobody) {
  EXPECT_TRUE(AddressList::parse("", "t").admitsAll());
  EXPECT_TRUE(AddressList::parse(" , ", "t").admits("198.51.100.1"));
  for (const char* wrong :
       {"10.1.0.0/33", "256.1.1.1", "10.1.1", "10.1.1.1.1", "1.2.3.4/", "-1.2.3.4"}) {
    AddressList list = AddressList::parse(wrong, "t");
    EXPECT_FALSE(list.admitsAll()) << wrong;
    EXPECT_FALSE(list.admits("10.1.1.1")) << wrong;
  }
}

TEST(Admission, CountsOpenConnectionsPerAddressAndRefusals) {
  orv::Admission door(
      "test input",
      {.allow = AddressList::parse("127.0.0.0/8", "t"), .perAddress = 2, .firstExchangeMs = 0});
  EXPECT_TRUE(door.admit("127.0.0.2"));
  EXPECT_TRUE(door.admit("127.0.0.2"));
  EXPECT_FALSE(door.admit("127.0.0.2"));
  EXPECT_TRUE(door.admit("127.0.0.3")) << "the limit is per address";
  EXPECT_FALSE(door.admit("10.0.0.1"));
  door.release("127.0.0.2");
  EXPECT_TRUE(door.admit("127.0.0.2")) << "a closed connection gives its room back";
  door.release("192.0.2.1");  // never admitted: ignored
  EXPECT_EQ(door.counters().overAddressLimit.load(), 1u);
  EXPECT_EQ(door.counters().notAllowed.load(), 1u);
}

}  // namespace
}  // namespace orv
