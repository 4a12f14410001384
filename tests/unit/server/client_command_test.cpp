#include <gtest/gtest.h>

#include "server/outputs/output_server.h"

namespace orv {
namespace {

TEST(ClientCommand, LineModuleAndCommand) {
  auto c = parseClientCommand("#16:1234:XYZ");
  ASSERT_TRUE(c);
  EXPECT_EQ(c->line, 16);
  EXPECT_EQ(c->moduleId, "1234");
  EXPECT_EQ(c->command, "XYZ");

  c = parseClientCommand("#3:1234:XYZ");
  ASSERT_TRUE(c);
  EXPECT_EQ(c->line, 3);

  // Without a line number the command is for line 16.
  c = parseClientCommand("01234:XYZ");
  ASSERT_TRUE(c);
  EXPECT_EQ(c->line, 16);
  EXPECT_EQ(c->moduleId, "1234");
  EXPECT_EQ(c->command, "XYZ");

  // Everything after the module's ":" is the command, colons included.
  c = parseClientCommand("#2:AB:0000:lcfg");
  ASSERT_TRUE(c);
  EXPECT_EQ(c->line, 2);
  EXPECT_EQ(c->moduleId, "AB");
  EXPECT_EQ(c->command, "0000:lcfg");
}

TEST(ClientCommand, WhatIsNoCommand) {
  EXPECT_FALSE(parseClientCommand(""));
  EXPECT_FALSE(parseClientCommand("0"));
  EXPECT_FALSE(parseClientCommand("0XYZ"));         // no module named
  EXPECT_FALSE(parseClientCommand("#x:1234:XYZ"));  // the line is no number
  EXPECT_FALSE(parseClientCommand("#1234:"));       // nothing to send
}

TEST(ClientAddress, PartsCompareAsNumbers) {
  EXPECT_EQ(normaliseAddress("192.168.001.010"), "192.168.1.10");
  EXPECT_EQ(normaliseAddress("192.168.1.10"), "192.168.1.10");
  EXPECT_EQ(normaliseAddress("127.000.000.001"), "127.0.0.1");
  EXPECT_EQ(normaliseAddress("1.2.3.260"), "1.2.3.4");  // each part modulo 256
  EXPECT_FALSE(normaliseAddress("1.2.3"));
  EXPECT_FALSE(normaliseAddress("1.2.3.4.5"));
  EXPECT_FALSE(normaliseAddress("a.b.c.d"));
  EXPECT_FALSE(normaliseAddress(""));
  EXPECT_FALSE(normaliseAddress("1..2.3"));
}

}  // namespace
}  // namespace orv
