// Encrypted DC-09 messages, time stamps, keys and repeated datagrams, without sockets.

#include <gtest/gtest.h>

#include "server/inputs/sia_crypto.h"
#include "server/inputs/sia_keys.h"
#include "server/inputs/sia_receive.h"
#include "server/inputs/sia_repeats.h"
#include "tests/support/sia_frames.h"

namespace orv {
namespace {

const std::string kKey128 = "000102030405060708090a0b0c0d0e0f";
const std::string kKey192 = kKey128 + "1011121314151617";
const std::string kKey256 = kKey128 + "101112131415161718191a1b1c1d1e1f";
constexpr time_t kNow = 1700000000;  // 22:13:20, 14 November 2023 (UTC)

TEST(SiaCipher, EachKeyLengthMatchesOpenSslsOwnTool) {
  // Reference values from `openssl enc -aes-N-cbc -nopad` with a zero IV.
  const std::pair<std::string, std::string> cases[] = {
      {kKey128, "39FDB6734D7B6C5DEBDE70676DA2ED41"},
      {kKey192, "AB959681CAA9177DA175E76EEF691B38"},
      {kKey256, "B1124E6E338CE294B5A467BDBAC5B75C"}};
  for (const auto& [hex, sealed] : cases) {
    std::optional<SiaKey> key = SiaKey::fromHex(hex);
    ASSERT_TRUE(key) << hex;
    EXPECT_EQ(siaEncrypt("pad|#1234|NRI01]", *key), sealed);
    EXPECT_EQ(siaDecrypt(sealed, *key), "pad|#1234|NRI01]");
    std::string lower = sealed;
    for (char& c : lower) c = static_cast<char>(std::tolower(c));
    EXPECT_EQ(siaDecrypt(lower, *key), "pad|#1234|NRI01]");
  }
}

TEST(SiaCipher, MalformedContentAndKeysAreRefused) {
  const SiaKey key = *SiaKey::fromHex(kKey128);
  SiaDecryptFault fault = SiaDecryptFault::None;
  EXPECT_FALSE(siaDecrypt("39FDB6734D7B6C5DEBDE70676DA2ED4", key, &fault));
  EXPECT_EQ(fault, SiaDecryptFault::OddLength);
  EXPECT_FALSE(siaDecrypt("39FDB6734D7B6C5DEBDE70676DA2ED4G", key, &fault));
  EXPECT_EQ(fault, SiaDecryptFault::NotHex);
  EXPECT_FALSE(siaDecrypt("39FDB6734D7B6C5DEBDE70676DA2", key, &fault));
  EXPECT_EQ(fault, SiaDecryptFault::NotWholeBlocks);
  EXPECT_FALSE(siaDecrypt("", key, &fault));
  EXPECT_EQ(fault, SiaDecryptFault::NotWholeBlocks);
  for (const char* bad :
       {"0123456789", "", "000102030405060708090a0b0c0d0e0", "zz0102030405060708090a0b0c0d0e0f"}) {
    EXPECT_FALSE(SiaKey::fromHex(bad)) << bad;
  }
}

TEST(SiaCipher, PadsFillTheLastBlockWithoutFieldCharacters) {
  for (size_t length = 0; length < 40; ++length) {
    const std::string pad = siaPadFor(length);
    EXPECT_GE(pad.size(), 1u);
    EXPECT_LE(pad.size(), 16u);
    EXPECT_EQ((pad.size() + length) % 16, 0u) << length;
    EXPECT_EQ(pad.find_first_of("|[]"), std::string::npos) << pad;
  }
}

TEST(SiaTimeStamps, ReadAndWritten) {
  EXPECT_EQ(siaTimeStamp(kNow), "_22:13:20,11-14-2023");
  EXPECT_EQ(parseSiaTimeStamp("_22:13:20,11-14-2023"), kNow);
  EXPECT_EQ(parseSiaTimeStamp("_00:00:00,02-29-2024"), 1709164800);
  for (const char* bad : {"_24:00:00,01-01-2024", "_12:00:00,02-30-2024", "_12:00:00,13-01-2024",
                          "_12:00:00,01-00-2024", "12:00:00,01-01-2024", "_12:00:00,01-01-24",
                          "_12:0a:00,01-01-2024", "_12:00:00 01-01-2024"}) {
    EXPECT_FALSE(parseSiaTimeStamp(bad)) << bad;
  }
}

TEST(SiaKeyFile, EntriesThatCannotBeKeysAreLeftOut) {
  const SiaKeys keys = SiaKeys::fromText("[Keys]\n12ab=" + kKey128 + "\n12AB=" + kKey256 +
                                             "\n5678=0123456789\n9999=\x01\x02\xff\n"
                                             "bad account=" +
                                             kKey128 + "\n[Other]\n4321=" + kKey128 + "\n",
                                         "test");
  ASSERT_NE(keys.find("12AB"), nullptr);
  EXPECT_EQ(keys.find("12ab")->bytes().size(), 16u);  // the first of two entries wins
  EXPECT_EQ(keys.find("5678"), nullptr);
  EXPECT_EQ(keys.find("9999"), nullptr);
  EXPECT_EQ(keys.find("4321"), nullptr);  // only [Keys] holds keys
  EXPECT_EQ(keys.size(), 1u);

  const SiaKeys any = SiaKeys::fromText("[Keys]\n*=" + kKey192 + "\n1234=" + kKey128 + "\n", "t");
  EXPECT_EQ(any.find("1234")->bytes().size(), 16u);
  EXPECT_EQ(any.find("77777777777777777777")->bytes().size(), 24u);
}

class SiaJudge : public testing::Test {
 protected:
  SiaVerdict judge(const std::string& message, time_t now = kNow, SiaTimeWindow window = {}) {
    SiaReceiver receiver(1, SiaKeys::fromText("[Keys]\n1234=" + kKey128 + "\n", "test"), window);
    const std::string frame = test::standardSiaFrame(message);
    std::optional<SiaFrame> f = readSiaFrame(std::string_view(frame).substr(0, frame.size() - 1));
    EXPECT_TRUE(f && f->crcOk);
    return receiver.judge(*f, now);
  }
  std::string encrypted(std::string_view data, time_t stamp, std::string_view key = kKey128,
                        std::string_view id = "ADM-CID") {
    return test::encryptedSiaMessage(id, "0001R0L0#1234", data, key, test::siaStamp(stamp));
  }
  static std::string word(const SiaVerdict& v) {
    const size_t q = v.answer.find('"');
    return q == std::string::npos ? "" : v.answer.substr(q + 1, v.answer.find('"', q + 1) - q - 1);
  }
};

TEST_F(SiaJudge, AnEncryptedEventGivesItsPlainTwinsLineAndAnEncryptedAck) {
  const SiaVerdict plain = judge("\"ADM-CID\"0001R0L0#1234[#1234|1130 01 015]");
  const SiaVerdict v = judge(encrypted("#1234|1130 01 015", kNow));
  ASSERT_TRUE(plain.line && v.line);
  EXPECT_EQ(*v.line, *plain.line);
  EXPECT_EQ(*v.line, "5001 181234E13001015");
  EXPECT_EQ(word(v), "*ACK");
  EXPECT_EQ(v.answer.substr(9, 20), "\"*ACK\"0001R0L0#1234[");
  const std::string opened = test::openSiaAnswer(v.answer, kKey128);
  ASSERT_EQ(opened.size() % 16, 0u);
  EXPECT_EQ(opened.substr(opened.size() - 22), "|]" + test::siaStamp(kNow));
  // A fresh pad each time.
  EXPECT_NE(judge(encrypted("#1234|1130 01 015", kNow)).answer, v.answer);
}

TEST_F(SiaJudge, WhatDoesNotDecryptIsAnsweredDuhWithoutTheKeyInTheNote) {
  const std::string wrongKey = "ffeeddccbbaa99887766554433221100";
  const std::string bodies[] = {
      encrypted("#1234|1130 01 015", kNow, wrongKey),
      "\"*ADM-CID\"0001R0L0#1234[39FDB6734D7B6C5DEBDE70676DA2ED4",
      "\"*ADM-CID\"0001R0L0#1234[39FDB6734D7B6C5DEBDE70676DA2ED4X",
      "\"*ADM-CID\"0001R0L0#1234[39FDB6734D7B6C5DEBDE70676D",
      "\"*ADM-CID\"0001R0L0#1234[" +
          test::aesEncryptHex("padding without a bar at all_____", kKey128),
      "\"*ADM-CID\"0001R0L0#1234[" + test::aesEncryptHex("ppppppppp|#1234|1130 01 015]", kKey128),
      "\"*ADM-CID\"0001R0L0#5678[" +
          test::aesEncryptHex("pppp|#5678|1130 01 015]" + test::siaStamp(kNow), kKey128),
  };
  for (const std::string& m : bodies) {
    const SiaVerdict v = judge(m);
    EXPECT_EQ(word(v), "DUH") << m;
    EXPECT_FALSE(v.line) << m;
    EXPECT_NE(v.note.find("DUH: "), std::string::npos) << v.note;
    for (const std::string& key : {kKey128, wrongKey}) {
      EXPECT_EQ(v.note.find(key.substr(0, 8)), std::string::npos) << v.note;
    }
  }
}

TEST_F(SiaJudge, TheTimeWindowGivesNakWithTheReceiversTime) {
  const std::string data = "#1234|1130 01 015";
  EXPECT_EQ(word(judge(encrypted(data, kNow - 40))), "*ACK");
  EXPECT_EQ(word(judge(encrypted(data, kNow + 20))), "*ACK");
  for (time_t off : {-41, 21}) {
    const SiaVerdict v = judge(encrypted(data, kNow + off));
    EXPECT_FALSE(v.line);
    EXPECT_EQ(v.answer, test::standardSiaFrame("\"NAK\"0000R0L0A0[]" + test::siaStamp(kNow)));
    EXPECT_NE(v.note.find(off < 0 ? "41 s behind" : "21 s ahead"), std::string::npos) << v.note;
  }
  // Unencrypted: only when asked, and only with a stamp.
  const std::string old = "\"ADM-CID\"0001R0L0#1234[" + data + "]" + test::siaStamp(kNow - 100);
  EXPECT_EQ(word(judge(old)), "ACK");
  EXPECT_EQ(word(judge(old, kNow, {.checkPlain = true})), "NAK");
  EXPECT_EQ(word(judge("\"ADM-CID\"0001R0L0#1234[" + data + "]", kNow, {.checkPlain = true})),
            "ACK");
  EXPECT_EQ(word(judge(encrypted(data, kNow - 100), kNow, {.behindS = 120})), "*ACK");
}

TEST_F(SiaJudge, EncryptedNullAndSiaDcsAndUnknownIds) {
  EXPECT_EQ(judge(encrypted("", kNow, kKey128, "NULL")).line, "#0|1 @      ");
  EXPECT_EQ(judge(encrypted("#1234|NRI01BA01", kNow, kKey128, "SIA-DCS")).line,
            "S001[#1234|NRI01BA01]");
  const SiaVerdict unknown = judge(encrypted("#1234", kNow, kKey128, "XYZ"));
  EXPECT_EQ(word(unknown), "DUH");
  EXPECT_FALSE(unknown.line);
}

TEST(SiaRepeatTable, ARepeatWithinAMinuteCarriesTheFirstTicket) {
  SiaRepeats r;
  EXPECT_FALSE(r.repeatOf("0001R0L0#1234", "line", 1000));
  r.remember("0001R0L0#1234", "line", 7, 1000);
  EXPECT_EQ(r.repeatOf("0001R0L0#1234", "line", 60999), 7u);
  EXPECT_FALSE(r.repeatOf("0001R0L0#1234", "other line", 2000));  // a new event: never lost
  EXPECT_FALSE(r.repeatOf("0002R0L0#1234", "line", 2000));
  EXPECT_FALSE(r.repeatOf("0001R0L0#1234", "line", 61000));
}

TEST(SiaRepeatTable, StaysWithinItsBound) {
  SiaRepeats r(100);
  for (int i = 0; i < 1000; ++i) r.remember("h" + std::to_string(i % 150), "l", i, 5);
  EXPECT_LE(r.size(), 100u);
  EXPECT_EQ(r.repeatOf("h99", "l", 6), 999u);  // the newest hundred are kept
  EXPECT_FALSE(r.repeatOf("h100", "l", 6));
  for (int i = 0; i < 1000; ++i) r.remember("same", "l", i, 5);  // one header again and again
  EXPECT_EQ(r.repeatOf("same", "l", 6), 999u);
  EXPECT_LE(r.size(), 100u);
}

}  // namespace
}  // namespace orv
