// Guards the stages a member's data passes through, each on its own and in
// the order the reader and writer compose them: what comes out, and the
// verdict on damaged data.
#include "archive/member_stream.h"

#include <gtest/gtest.h>

#include <string>

#include "archive/archive_error.h"
#include "archive/pkware.h"
#include "platform/file.h"
#include "tests/archive/archive_test_util.h"
#include "tests/support/temp_dir.h"

namespace quilvane::archive {
namespace {

std::span<std::uint8_t> Span(std::string& s) {
  return {reinterpret_cast<std::uint8_t*>(s.data()), s.size()};
}

// Bytes from memory, handed out at most `piece` at a time.
class MemorySource : public ByteSource {
 public:
  MemorySource(std::string bytes, size_t piece) : bytes_(std::move(bytes)), piece_(piece) {}
  size_t Read(std::span<std::uint8_t> out) override {
    const size_t n = std::min({out.size(), piece_, bytes_.size() - at_});
    std::copy_n(bytes_.data() + at_, n, out.data());
    at_ += n;
    return n;
  }

 private:
  std::string bytes_;
  size_t piece_;
  size_t at_ = 0;
};

// Collects what reaches the end of a chain, and how many pieces it came in.
class StringSink : public ByteSink {
 public:
  void Put(std::span<std::uint8_t> bytes, bool last) override {
    data.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    ++pieces;
    saw_last = saw_last || last;
  }
  std::string data;
  int pieces = 0;
  bool saw_last = false;
};

// The reader's chain over `stored`: decrypt when `keys`, inflate when
// `deflated`, then the check. Returns the plain bytes or the error's text.
std::string ReadChain(const std::string& stored, bool deflated, std::uint64_t size,
                      std::uint32_t crc, const PkwareKeys* keys = nullptr, size_t piece = 7000) {
  MemorySource raw(stored, piece);
  std::optional<DecryptingSource> decrypted;
  ByteSource* top = &raw;
  if (keys) top = &decrypted.emplace(raw, *keys);
  std::optional<InflatingSource> inflated;
  if (deflated) top = &inflated.emplace(*top, 4096);
  CheckedSource checked(*top, size, crc);
  std::vector<std::uint8_t> buffer(5000);
  StringSink out;
  try {
    Drain(checked, buffer, out);
  } catch (const EArchiveError& e) {
    return std::string("error ") + std::to_string(e.NativeError());
  }
  return out.data;
}

TEST(MemberStreamTest, ReadChainDeliversOrRefusesTheMember) {
  const std::string plain = testing::ExchangeText(300);
  const std::string deflated = testing::RawDeflate(plain);
  const std::uint32_t crc = testing::Crc32(plain);
  std::string damaged = deflated;
  damaged[damaged.size() / 2] ^= 0x55;
  struct Case {
    const char* what;
    std::string stored;
    bool deflated;
    std::uint64_t size;
    std::uint32_t crc;
    std::string expected;
  };
  const Case kCases[] = {
      {"stored", plain, false, plain.size(), crc, plain},
      {"deflated", deflated, true, plain.size(), crc, plain},
      {"one byte more than declared", plain, false, plain.size() - 1, crc, "error 8"},
      {"inflates to more than declared", deflated, true, plain.size() - 1, crc, "error 8"},
      {"one byte short", plain.substr(1), false, plain.size(), crc, "error 8"},
      {"stream cut", deflated.substr(0, deflated.size() / 2), true, plain.size(), crc, "error 8"},
      {"other CRC", plain, false, plain.size(), crc ^ 1, "error 8"},
      {"damaged stream", damaged, true, plain.size(), crc, "error 8"},
      {"not Deflate at all", std::string(100, '\xFF'), true, 100, 0, "error 8"},
      {"empty", "", false, 0, 0, ""},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    EXPECT_TRUE(c.expected == ReadChain(c.stored, c.deflated, c.size, c.crc));
  }
}

TEST(MemberStreamTest, InflatingDrainsOutputLargerThanItsBuffers) {
  // 1 MiB of one byte deflates to a few KiB: each input block yields many
  // full output buffers, which must all be delivered before the next block.
  const std::string plain(1 << 20, 'a');
  EXPECT_TRUE(plain == ReadChain(testing::RawDeflate(plain), true, plain.size(),
                                 testing::Crc32(plain), nullptr, 3));
}

TEST(MemberStreamTest, WriteChainRoundTripsThroughTheReadChain) {
  const std::string plain = testing::ExchangeText(2000);
  for (const bool deflate : {true, false}) {
    SCOPED_TRACE(deflate);
    StringSink stored;
    PkwareKeys keys("secret");
    EncryptingSink encrypting(keys, stored);
    std::optional<DeflatingSink> deflating;
    ByteSink* below_crc = &encrypting;
    if (deflate) below_crc = &deflating.emplace(1, encrypting);
    CrcSink crc(below_crc);
    std::string copy = plain;
    const size_t half = copy.size() / 2;
    crc.Put(Span(copy).first(half), false);
    crc.Put(Span(copy).subspan(half), true);
    EXPECT_EQ(testing::Crc32(plain), crc.crc());
    EXPECT_TRUE(stored.saw_last);
    EXPECT_EQ(2, stored.pieces);
    EXPECT_EQ(std::string::npos, stored.data.find("UPDATE"));
    const PkwareKeys fresh("secret");
    EXPECT_TRUE(plain == ReadChain(stored.data, deflate, plain.size(), crc.crc(), &fresh));
    const PkwareKeys wrong("Secret");
    EXPECT_EQ("error 8", ReadChain(stored.data, deflate, plain.size(), crc.crc(), &wrong));
  }
}

TEST(MemberStreamTest, PumpFileReadsWholePiecesAndNoticesAGrownFile) {
  quilvane::testing::TempDir dir;
  const std::string content = testing::ExchangeText(100);
  testing::WriteFile(dir.File("src"), content);
  std::vector<std::uint8_t> buffer(1000);
  for (const std::int64_t declared :
       {static_cast<std::int64_t>(content.size()), static_cast<std::int64_t>(content.size()) - 5,
        static_cast<std::int64_t>(content.size()) + 5}) {
    SCOPED_TRACE(declared);
    platform::File file(dir.File("src"), platform::File::Mode::kRead);
    StringSink sink;
    const std::int64_t total = PumpFile(file, declared, buffer, sink);
    const std::int64_t real = static_cast<std::int64_t>(content.size());
    // A file longer than declared counts one byte more; a shorter one what it held.
    EXPECT_EQ(declared < real ? declared + 1 : real, total);
    EXPECT_EQ(content.substr(0, static_cast<size_t>(std::min(declared, real))), sink.data);
    EXPECT_EQ(declared <= real, sink.saw_last);
  }
}

}  // namespace
}  // namespace quilvane::archive
