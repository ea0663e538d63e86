#pragma once

// The stages a member's data passes through, each small and on its own, and
// composed by the reader and the writer into one member stream:
//
//   reading:  archive window -> decrypt -> inflate -> size and CRC check -> output file
//   writing:  source file -> CRC -> deflate -> encrypt -> archive file
//
// Reading pulls (each stage asks the one below for bytes); writing pushes
// (each stage hands its output to the next). Buffers belong to the stage that
// fills them and are transformed in place where possible.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "archive/archive_file.h"
#include "archive/pkware.h"
#include "archive/zstream.h"
#include "platform/file.h"

namespace quilvane::archive {

// ---- Reading ----

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Up to out.size() bytes, 0 at the end.
  virtual size_t Read(std::span<std::uint8_t> out) = 0;
};

// `length` bytes of the archive from `start`: a member's stored data.
class WindowSource : public ByteSource {
 public:
  WindowSource(ArchiveFile& file, std::int64_t start, std::int64_t length)
      : file_(file), pos_(start), remaining_(length) {}
  size_t Read(std::span<std::uint8_t> out) override;
  std::int64_t remaining() const { return remaining_; }

 private:
  ArchiveFile& file_;
  std::int64_t pos_;
  std::int64_t remaining_;
};

// Traditional PKWARE decryption, the key stream carried from read to read.
class DecryptingSource : public ByteSource {
 public:
  DecryptingSource(ByteSource& in, const PkwareKeys& keys) : in_(in), keys_(keys) {}
  size_t Read(std::span<std::uint8_t> out) override;

 private:
  ByteSource& in_;
  PkwareKeys keys_;
};

// Raw Deflate, read from below in blocks of `block` bytes. Ends at the
// stream's end or when the input runs out; a damaged stream fails with the
// member-corrupt error after the bytes it produced were delivered.
class InflatingSource : public ByteSource {
 public:
  InflatingSource(ByteSource& in, size_t block) : in_(in), buffer_(block) {}
  size_t Read(std::span<std::uint8_t> out) override;

 private:
  ByteSource& in_;
  Inflater inflater_;
  std::vector<std::uint8_t> buffer_;
  std::span<std::uint8_t> input_;
  bool output_was_full_ = false;  // the inflater may still hold output
  bool input_done_ = false;
  bool ended_ = false;
  bool failed_ = false;
};

// Counts the bytes and runs the CRC-32 over them: more bytes than expected
// fail at once, a short count or another CRC at the end.
class CheckedSource : public ByteSource {
 public:
  CheckedSource(ByteSource& in, std::uint64_t expected_size, std::uint32_t expected_crc)
      : in_(in), expected_size_(expected_size), expected_crc_(expected_crc) {}
  size_t Read(std::span<std::uint8_t> out) override;

 private:
  ByteSource& in_;
  std::uint64_t expected_size_;
  std::uint32_t expected_crc_;
  std::uint64_t count_ = 0;
  std::uint32_t crc_ = 0xFFFFFFFF;
};

// ---- Writing ----

class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Takes `bytes` (the stage may change them in place); `last` marks the
  // final piece of the member.
  virtual void Put(std::span<std::uint8_t> bytes, bool last) = 0;
};

// Writes to a file; a full disk fails with the archiver's disk-full error.
class FileSink : public ByteSink {
 public:
  explicit FileSink(platform::File& file) : file_(file) {}
  void Put(std::span<std::uint8_t> bytes, bool last) override;
  void Put(std::span<const std::uint8_t> bytes);
  std::uint64_t written() const { return written_; }

 private:
  platform::File& file_;
  std::uint64_t written_ = 0;
};

// Runs the CRC-32 over what passes; `next` may be null to only count.
class CrcSink : public ByteSink {
 public:
  explicit CrcSink(ByteSink* next) : next_(next) {}
  void Put(std::span<std::uint8_t> bytes, bool last) override;
  std::uint32_t crc() const { return ~crc_; }

 private:
  ByteSink* next_;
  std::uint32_t crc_ = 0xFFFFFFFF;
};

// Raw Deflate at `level`: each piece ends with a sync flush, the last one
// finishes the stream. The output buffer is sized from the first piece.
class DeflatingSink : public ByteSink {
 public:
  DeflatingSink(int level, ByteSink& next) : deflater_(level), next_(next) {}
  void Put(std::span<std::uint8_t> bytes, bool last) override;

 private:
  Deflater deflater_;
  ByteSink& next_;
  std::vector<std::uint8_t> out_;
};

class EncryptingSink : public ByteSink {
 public:
  EncryptingSink(const PkwareKeys& keys, ByteSink& next) : keys_(keys), next_(next) {}
  void Put(std::span<std::uint8_t> bytes, bool last) override;

 private:
  PkwareKeys keys_;
  ByteSink& next_;
};

// ---- Pumps ----

// Moves everything `source` yields into `sink` through `buffer`.
void Drain(ByteSource& source, std::span<std::uint8_t> buffer, ByteSink& sink);

// Reads `size` bytes of `file` from where it stands, in pieces of
// buffer.size() (fewer only at its end), into `sink`. Returns the bytes read,
// one more than `size` when the file turned out longer than that.
std::int64_t PumpFile(platform::File& file, std::int64_t size, std::span<std::uint8_t> buffer,
                      ByteSink& sink);

}  // namespace quilvane::archive
