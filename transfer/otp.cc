#include "transfer/otp.h"

#include <cctype>
#include <span>
#include <vector>

#include "platform/crypto.h"
#include "platform/text.h"

namespace quilvane::transfer {
namespace {

// Hashes and folds to 64 bits, returned as the 8 bytes that the next round
// hashes.
std::string HashFold(OtpChallenge::Hash hash, std::string_view data) {
  const std::span bytes(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
  std::string out(8, '\0');
  if (hash == OtpChallenge::Hash::kSha1) {
    const std::vector<std::uint8_t> d = platform::Digest(platform::DigestAlgorithm::kSha1, bytes);
    auto word = [&d](int i) {
      return std::uint32_t{d[4 * i]} << 24 | std::uint32_t{d[4 * i + 1]} << 16 |
             std::uint32_t{d[4 * i + 2]} << 8 | d[4 * i + 3];
    };
    const std::uint32_t folded[2] = {word(0) ^ word(2) ^ word(4), word(1) ^ word(3)};
    // The standard's SHA-1 fold emits each word low byte first.
    for (int i = 0; i < 2; ++i) {
      for (int k = 0; k < 4; ++k) out[i * 4 + k] = static_cast<char>(folded[i] >> (8 * k));
    }
    return out;
  }
  const std::vector<std::uint8_t> d =
      platform::Digest(hash == OtpChallenge::Hash::kMd4 ? platform::DigestAlgorithm::kMd4
                                                        : platform::DigestAlgorithm::kMd5,
                       bytes);
  for (int i = 0; i < 8; ++i) out[i] = static_cast<char>(d[i] ^ d[i + 8]);
  return out;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::optional<OtpChallenge> FindOtpChallenge(std::string_view text) {
  std::string lower(text);
  lower = platform::AsciiLower(std::move(lower));
  for (size_t at = lower.find("otp-"); at != std::string::npos; at = lower.find("otp-", at + 1)) {
    OtpChallenge ch;
    size_t i = at + 4;
    if (lower.compare(i, 4, "sha1") == 0) {
      ch.hash = OtpChallenge::Hash::kSha1, i += 4;
    } else if (lower.compare(i, 3, "md5") == 0) {
      ch.hash = OtpChallenge::Hash::kMd5, i += 3;
    } else if (lower.compare(i, 3, "md4") == 0) {
      ch.hash = OtpChallenge::Hash::kMd4, i += 3;
    } else {
      continue;
    }
    size_t blanks = i;
    while (i < lower.size() && IsBlank(lower[i])) ++i;
    if (i == blanks) continue;
    size_t digits = i;
    long sequence = 0;
    while (i < lower.size() && std::isdigit(static_cast<unsigned char>(lower[i])) &&
           i - digits < 5) {
      sequence = sequence * 10 + (lower[i++] - '0');
    }
    if (i == digits || sequence > 9999 ||
        (i < lower.size() && std::isdigit(static_cast<unsigned char>(lower[i])))) {
      continue;
    }
    blanks = i;
    while (i < lower.size() && IsBlank(lower[i])) ++i;
    if (i == blanks) continue;
    size_t seed = i;
    while (i < lower.size() && std::isalnum(static_cast<unsigned char>(lower[i]))) ++i;
    if (i == seed || i - seed > 16) continue;
    ch.sequence = static_cast<int>(sequence);
    ch.seed = lower.substr(seed, i - seed);
    return ch;
  }
  return std::nullopt;
}

std::uint64_t OtpValue(const OtpChallenge& challenge, std::string_view password) {
  std::string seed = challenge.seed;
  seed = platform::AsciiLower(std::move(seed));
  std::string s = HashFold(challenge.hash, seed + std::string(password));
  for (int i = 0; i < challenge.sequence; ++i) s = HashFold(challenge.hash, s);
  std::uint64_t value = 0;
  for (unsigned char c : s) value = value << 8 | c;
  return value;
}

std::string OtpResponse(const OtpChallenge& challenge, std::string_view password) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::uint64_t value = OtpValue(challenge, password);
  std::string out(16, '0');
  for (int i = 15; i >= 0; --i, value >>= 4) out[i] = kHex[value & 15];
  return out;
}

}  // namespace quilvane::transfer
