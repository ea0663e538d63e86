#include "transfer/otp.h"
#include "platform/text.h"

#include <array>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace quilvane::transfer {
namespace {

using Block = std::array<std::uint32_t, 16>;

inline std::uint32_t Rotl(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

// Pads a message the MD4/MD5/SHA-1 way; `big_endian` picks the length's
// and the words' byte order.
std::vector<Block> Pad(std::string_view message, bool big_endian) {
  std::vector<std::uint8_t> bytes(message.begin(), message.end());
  std::uint64_t bits = static_cast<std::uint64_t>(message.size()) * 8;
  bytes.push_back(0x80);
  while (bytes.size() % 64 != 56) bytes.push_back(0);
  for (int i = 0; i < 8; ++i) {
    int shift = big_endian ? 8 * (7 - i) : 8 * i;
    bytes.push_back(static_cast<std::uint8_t>(bits >> shift));
  }
  std::vector<Block> blocks(bytes.size() / 64);
  for (size_t b = 0; b < blocks.size(); ++b) {
    for (int w = 0; w < 16; ++w) {
      const std::uint8_t* p = &bytes[b * 64 + w * 4];
      blocks[b][w] = big_endian ? (std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 |
                                   std::uint32_t{p[2]} << 8 | p[3])
                                : (std::uint32_t{p[3]} << 24 | std::uint32_t{p[2]} << 16 |
                                   std::uint32_t{p[1]} << 8 | p[0]);
    }
  }
  return blocks;
}

std::string LittleEndianBytes(const std::uint32_t* words, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) {
    for (int k = 0; k < 4; ++k) out += static_cast<char>(words[i] >> (8 * k));
  }
  return out;
}

std::string Md4(std::string_view message) {
  std::uint32_t h[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
  for (const Block& x : Pad(message, false)) {
    std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3];
    auto f = [](std::uint32_t x, std::uint32_t y, std::uint32_t z) { return (x & y) | (~x & z); };
    auto g = [](std::uint32_t x, std::uint32_t y, std::uint32_t z) {
      return (x & y) | (x & z) | (y & z);
    };
    auto hh = [](std::uint32_t x, std::uint32_t y, std::uint32_t z) { return x ^ y ^ z; };
    static constexpr int s1[4] = {3, 7, 11, 19};
    for (int i = 0; i < 16; ++i) {
      std::uint32_t t = Rotl(a + f(b, c, d) + x[i], s1[i % 4]);
      a = d, d = c, c = b, b = t;
    }
    static constexpr int s2[4] = {3, 5, 9, 13};
    for (int i = 0; i < 16; ++i) {
      int k = (i % 4) * 4 + i / 4;
      std::uint32_t t = Rotl(a + g(b, c, d) + x[k] + 0x5a827999, s2[i % 4]);
      a = d, d = c, c = b, b = t;
    }
    static constexpr int s3[4] = {3, 9, 11, 15};
    static constexpr int order3[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
    for (int i = 0; i < 16; ++i) {
      std::uint32_t t = Rotl(a + hh(b, c, d) + x[order3[i]] + 0x6ed9eba1, s3[i % 4]);
      a = d, d = c, c = b, b = t;
    }
    h[0] += a, h[1] += b, h[2] += c, h[3] += d;
  }
  return LittleEndianBytes(h, 4);
}

std::string Md5(std::string_view message) {
  static constexpr int s[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                                5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                                4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                                6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};
  static const std::array<std::uint32_t, 64> k = [] {
    std::array<std::uint32_t, 64> t{};
    // K[i] = floor(abs(sin(i + 1)) * 2^32)
    for (int i = 0; i < 64; ++i) {
      t[i] = static_cast<std::uint32_t>(static_cast<std::uint64_t>(
          std::abs(std::sin(static_cast<double>(i + 1))) * 4294967296.0));
    }
    return t;
  }();
  std::uint32_t h[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
  for (const Block& m : Pad(message, false)) {
    std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3];
    for (int i = 0; i < 64; ++i) {
      std::uint32_t f;
      int g;
      if (i < 16) {
        f = (b & c) | (~b & d);
        g = i;
      } else if (i < 32) {
        f = (d & b) | (~d & c);
        g = (5 * i + 1) % 16;
      } else if (i < 48) {
        f = b ^ c ^ d;
        g = (3 * i + 5) % 16;
      } else {
        f = c ^ (b | ~d);
        g = (7 * i) % 16;
      }
      std::uint32_t t = d;
      d = c;
      c = b;
      b = b + Rotl(a + f + k[i] + m[g], s[i]);
      a = t;
    }
    h[0] += a, h[1] += b, h[2] += c, h[3] += d;
  }
  return LittleEndianBytes(h, 4);
}

std::array<std::uint32_t, 5> Sha1Words(std::string_view message) {
  std::array<std::uint32_t, 5> h = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476, 0xc3d2e1f0};
  for (const Block& m : Pad(message, true)) {
    std::uint32_t w[80];
    for (int i = 0; i < 16; ++i) w[i] = m[i];
    for (int i = 16; i < 80; ++i) w[i] = Rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    for (int i = 0; i < 80; ++i) {
      std::uint32_t f, k;
      if (i < 20) {
        f = (b & c) | (~b & d), k = 0x5a827999;
      } else if (i < 40) {
        f = b ^ c ^ d, k = 0x6ed9eba1;
      } else if (i < 60) {
        f = (b & c) | (b & d) | (c & d), k = 0x8f1bbcdc;
      } else {
        f = b ^ c ^ d, k = 0xca62c1d6;
      }
      std::uint32_t t = Rotl(a, 5) + f + e + k + w[i];
      e = d, d = c, c = Rotl(b, 30), b = a, a = t;
    }
    h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e;
  }
  return h;
}

// Hashes and folds to 64 bits, returned as the 8 bytes that the next round
// hashes.
std::string HashFold(OtpChallenge::Hash hash, std::string_view data) {
  std::string out(8, '\0');
  if (hash == OtpChallenge::Hash::kSha1) {
    auto w = Sha1Words(data);
    w[0] ^= w[2];
    w[1] ^= w[3];
    w[0] ^= w[4];
    // The standard's SHA-1 fold emits each word low byte first.
    for (int i = 0; i < 2; ++i) {
      for (int k = 0; k < 4; ++k) out[i * 4 + k] = static_cast<char>(w[i] >> (8 * k));
    }
    return out;
  }
  std::string digest = hash == OtpChallenge::Hash::kMd4 ? Md4(data) : Md5(data);
  for (int i = 0; i < 8; ++i) out[i] = static_cast<char>(digest[i] ^ digest[i + 8]);
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
