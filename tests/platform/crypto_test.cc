#include "platform/crypto.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/error.h"

namespace quilvane::platform {
namespace {

std::span<const std::uint8_t> Bytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

std::string Hex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (const std::uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

// The standards' own vectors (RFC 1320, RFC 1321, FIPS 180): each algorithm
// must be the one named, with its full length.
TEST(CryptoTest, DigestsMatchTheStandardsVectors) {
  struct Case {
    DigestAlgorithm algorithm;
    std::string_view message;
    const char* digest;
  };
  const Case cases[] = {
      {DigestAlgorithm::kMd4, "", "31d6cfe0d16ae931b73c59d7e0c089c0"},
      {DigestAlgorithm::kMd4, "abc", "a448017aaf21d8525fc10ae87aa6729d"},
      {DigestAlgorithm::kMd5, "", "d41d8cd98f00b204e9800998ecf8427e"},
      {DigestAlgorithm::kMd5, "abc", "900150983cd24fb0d6963f7d28e17f72"},
      {DigestAlgorithm::kSha1, "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {DigestAlgorithm::kSha256, "abc",
       "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {DigestAlgorithm::kSha512, "abc",
       "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
       "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.digest);
    EXPECT_EQ(Hex(Digest(c.algorithm, Bytes(c.message))), c.digest);
  }
}

TEST(CryptoTest, Sha256InPiecesEqualsTheWholeAndIsSpentByFinish) {
  Sha256 pieces;
  pieces.Update(std::string_view("a"));
  pieces.Update(Bytes("bc"));
  Sha256 moved = std::move(pieces);
  const Sha256Digest digest = moved.Finish();
  EXPECT_EQ(Hex(digest), Hex(Digest(DigestAlgorithm::kSha256, Bytes("abc"))));
  EXPECT_THROW(moved.Update(Bytes("d")), Error);
  EXPECT_THROW(moved.Finish(), Error);
  EXPECT_THROW(pieces.Update(Bytes("d")), Error);
}

// A secret taken over must keep the buffer it came in: a copy would leave
// the bytes behind, unwiped, where the caller had them.
TEST(CryptoTest, SecretTakesItsBufferOverWithoutACopy) {
  std::string text(200, 'k');
  const char* buffer = text.data();
  const Secret<std::string> secret(std::move(text));
  EXPECT_EQ(secret.get().data(), buffer);
  EXPECT_EQ(secret.get(), std::string(200, 'k'));
}

}  // namespace
}  // namespace quilvane::platform
