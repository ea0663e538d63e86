// Guards the cipher and the header generator against drift from what every
// other ZIP tool computes.
#include "archive/pkware.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "tests/archive/archive_test_util.h"

namespace quilvane::archive {
namespace {

TEST(PkwareTest, CrcMatchesTheStandardCheckValue) {
  const std::string s = "123456789";
  const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(s.data()),
                                            s.size());
  EXPECT_EQ(0xCBF43926u, ~UpdateCRC32(bytes, 0xFFFFFFFF));
  std::uint32_t v = 0xFFFFFFFF;
  for (auto b : bytes) v = UpdCRC(b, v);
  EXPECT_EQ(0xCBF43926u, ~v);
}

TEST(PkwareTest, EncryptsTheLibzipNoEntropyHeader) {
  // libzip's deterministic vector: password "no-entropy", eleven zero bytes
  // and the check byte 0xAB.
  std::array<std::uint8_t, 12> header{};
  header[11] = 0xAB;
  PkwareKeys keys("no-entropy");
  keys.Encrypt(header);
  const std::array<std::uint8_t, 12> expected = {0x92, 0xd2, 0x44, 0x3d, 0x06, 0xd0,
                                                 0x98, 0xf5, 0xd8, 0xa9, 0xe7, 0xdf};
  EXPECT_EQ(expected, header);

  PkwareKeys after_decrypt = DecryptHeader("no-entropy", header);
  EXPECT_EQ(0xAB, header[11]);
  EXPECT_EQ(0, header[0]);
  EXPECT_EQ(keys.key0(), after_decrypt.key0());
  EXPECT_EQ(keys.key1(), after_decrypt.key1());
  EXPECT_EQ(keys.key2(), after_decrypt.key2());
}

TEST(PkwareTest, DataRoundTripsAndDependsOnTheHeader) {
  std::string text = testing::ExchangeText(20);
  std::vector<std::uint8_t> plain(text.begin(), text.end());
  auto a = plain, b = plain;
  PkwareKeys ka("3620!#58-QZ&*+"), kb("3620!#58-QZ&*+");
  std::array<std::uint8_t, 12> ha{}, hb{};
  hb[0] = 1;
  ka.Encrypt(ha);
  kb.Encrypt(hb);
  ka.Encrypt(a);
  kb.Encrypt(b);
  EXPECT_NE(a, plain);
  EXPECT_NE(a, b);  // a different random byte changes every byte that follows
  PkwareKeys d = DecryptHeader("3620!#58-QZ&*+", ha);
  d.Decrypt(a);
  EXPECT_EQ(plain, a);
}

TEST(PkwareTest, GeneratorStepsAndReseeds) {
  HeaderRandom r(0);
  EXPECT_EQ(0u, r.Draw(0x7FFFFFFF));  // S = 1: the high half of 1 * N
  EXPECT_EQ(1u, r.state());
  EXPECT_EQ(67387906u, r.Draw(0x7FFFFFFF));  // S = 134775814
  EXPECT_EQ(134775814u, r.state());

  // From a fresh state the mixing draw is 0: the seed is the counter's
  // halves xor'ed.
  HeaderRandom fresh;
  fresh.Reseed(0x0123456789ABCDEFull);
  EXPECT_EQ(0x01234567u ^ 0x89ABCDEFu, fresh.state());

  HeaderRandom g;
  g.Reseed(42);
  const auto header = MakeEncryptionHeader(g, 0xA1B2C3D4);
  EXPECT_EQ(0xB2, header[10]);
  EXPECT_EQ(0xA1, header[11]);
}

}  // namespace
}  // namespace quilvane::archive
