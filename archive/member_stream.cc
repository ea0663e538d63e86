#include "archive/member_stream.h"

#include <algorithm>

#include "archive/archive_error.h"
#include "platform/error_kinds.h"

namespace quilvane::archive {

size_t WindowSource::Read(std::span<std::uint8_t> out) {
  if (remaining_ <= 0) return 0;
  const size_t want = static_cast<size_t>(
      std::min<std::int64_t>(remaining_, static_cast<std::int64_t>(out.size())));
  const size_t got = file_.ReadAt(pos_, out.first(want));
  pos_ += static_cast<std::int64_t>(got);
  remaining_ -= static_cast<std::int64_t>(got);
  return got;
}

size_t DecryptingSource::Read(std::span<std::uint8_t> out) {
  const size_t got = in_.Read(out);
  keys_.Decrypt(out.first(got));
  return got;
}

size_t InflatingSource::Read(std::span<std::uint8_t> out) {
  while (true) {
    if (failed_) ThrowCorruptMember();
    if (ended_) return 0;
    // More input only once the inflater has handed over all it held.
    if (input_.empty() && !output_was_full_) {
      if (input_done_) return 0;
      const size_t got = in_.Read(buffer_);
      if (got == 0) {
        input_done_ = true;
        return 0;
      }
      input_ = std::span<std::uint8_t>(buffer_.data(), got);
    }
    const Inflater::Step step = inflater_.Run(input_, out);
    input_ = input_.subspan(step.consumed);
    output_was_full_ = step.produced == out.size();
    failed_ = step.error;
    ended_ = step.stream_end;
    // An inflater that takes nothing and gives nothing gets the next block.
    if (step.consumed == 0 && step.produced == 0) input_ = {};
    if (step.produced > 0) return step.produced;
  }
}

size_t CheckedSource::Read(std::span<std::uint8_t> out) {
  const size_t got = in_.Read(out);
  if (got == 0) {
    if (count_ != expected_size_ || ~crc_ != expected_crc_) ThrowCorruptMember();
    return 0;
  }
  count_ += got;
  // A member never holds more than its directory entry says.
  if (count_ > expected_size_) ThrowCorruptMember();
  crc_ = UpdateCRC32(out.first(got), crc_);
  return got;
}

void FileSink::Put(std::span<std::uint8_t> bytes, bool) {
  Put(std::span<const std::uint8_t>(bytes));
}

void FileSink::Put(std::span<const std::uint8_t> bytes) {
  try {
    file_.Write(bytes);
  } catch (const platform::SystemError& e) {
    if (platform::IsDiskFull(e)) ThrowDiskFull();
    throw;
  }
  written_ += bytes.size();
}

void CrcSink::Put(std::span<std::uint8_t> bytes, bool last) {
  crc_ = UpdateCRC32(bytes, crc_);
  if (next_) next_->Put(bytes, last);
}

void DeflatingSink::Put(std::span<std::uint8_t> bytes, bool last) {
  const size_t n = bytes.size();
  if (out_.empty()) out_.resize(((n + n / 10 + 267) / 256) * 256);
  const size_t used = deflater_.Compress(bytes, last, out_, 0);
  next_.Put(std::span<std::uint8_t>(out_.data(), used), last);
}

void EncryptingSink::Put(std::span<std::uint8_t> bytes, bool last) {
  keys_.Encrypt(bytes);
  next_.Put(bytes, last);
}

void Drain(ByteSource& source, std::span<std::uint8_t> buffer, ByteSink& sink) {
  while (const size_t got = source.Read(buffer)) sink.Put(buffer.first(got), false);
}

std::int64_t PumpFile(platform::File& file, std::int64_t size, std::span<std::uint8_t> buffer,
                      ByteSink& sink) {
  std::int64_t total = 0;
  while (total < size) {
    const size_t want = static_cast<size_t>(
        std::min<std::int64_t>(static_cast<std::int64_t>(buffer.size()), size - total));
    size_t got = 0;
    while (got < want) {
      const size_t n = file.Read(buffer.subspan(got, want - got));
      if (n == 0) break;
      got += n;
    }
    if (got == 0) break;
    total += static_cast<std::int64_t>(got);
    sink.Put(buffer.first(got), total >= size);
    if (got < want) break;
  }
  // A source that grew after it was listed would be cut short silently.
  if (total == size) {
    std::uint8_t probe;
    if (file.Read(std::span<std::uint8_t>(&probe, 1)) != 0) ++total;
  }
  return total;
}

}  // namespace quilvane::archive
