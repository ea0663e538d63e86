#include "transfer/buffered_socket.h"

#include <algorithm>

namespace quilvane::transfer {
namespace {

using platform::Deadline;
using platform::SteadyClock;

constexpr size_t kReadChunk = 256 * 1024;

// Runs one socket call `io(deadline)` that returns the bytes it moved,
// under the watch's deadline too; a wait that ran past the rule reports it.
template <typename Io>
size_t Paced(std::optional<ProgressWatch>& watch, Deadline deadline, Io io) {
  if (!watch) return io(deadline);
  size_t n;
  try {
    n = io(std::min(deadline, watch->deadline()));
  } catch (const platform::TimeoutError&) {
    watch->CheckAt(SteadyClock::now());
    throw;
  }
  watch->Add(n, SteadyClock::now());
  return n;
}

}  // namespace

void BufferedSocket::WatchProgress(const ProgressLimits& limits, Deadline begun) {
  watch_.emplace(limits, SteadyClock::now(), begun);
}

size_t BufferedSocket::RawRead(std::span<char> out, Deadline deadline) {
  return tls_.is_open() ? tls_.Read(out, deadline) : socket_.Read(out, deadline);
}

size_t BufferedSocket::RawWriteSome(std::string_view bytes, Deadline deadline) {
  return tls_.is_open() ? tls_.WriteSome(bytes, deadline) : socket_.WriteSome(bytes, deadline);
}

size_t BufferedSocket::Read(std::span<char> out, Deadline deadline) {
  return Paced(watch_, deadline, [&](Deadline d) { return RawRead(out, d); });
}

void BufferedSocket::WriteAll(std::string_view bytes, Deadline deadline) {
  do {
    bytes.remove_prefix(
        Paced(watch_, deadline, [&](Deadline d) { return RawWriteSome(bytes, d); }));
  } while (!bytes.empty());
}

void BufferedSocket::StartTls(platform::TlsClient& client, const std::string& host,
                              Deadline deadline, const BufferedSocket* resume) {
  if (buffered() > 0) {
    Close();
    throw platform::TlsError(platform::TlsFailure::kProtocol,
                             "Falha no protocolo TLS: dados em claro antes da negociação TLS");
  }
  tls_ = client.Connect(std::move(socket_), host, deadline, resume ? &resume->tls_ : nullptr);
}

bool BufferedSocket::WaitReadable(std::chrono::milliseconds wait) {
  if (buffered() > 0) return true;
  if (!tls_.is_open()) return socket_.WaitReadable(wait);
  // Only a TLS read tells data from records the library keeps for itself.
  try {
    Fill(SteadyClock::now() + wait);
  } catch (const platform::TimeoutError&) {
    return false;
  }
  return true;
}

bool BufferedSocket::PeerClosed() {
  if (!tls_.is_open()) return socket_.PeerClosed();
  if (buffered() > 0) return false;
  try {
    return !Fill(SteadyClock::now());
  } catch (const platform::TimeoutError&) {
    return false;
  } catch (const platform::Error&) {
    return true;
  }
}

bool BufferedSocket::Fill(platform::Deadline deadline) {
  if (pos_ > 0 && pos_ == buffer_.size()) {
    buffer_.clear();
    pos_ = 0;
  } else if (pos_ > 64 * 1024) {
    buffer_.erase(0, pos_);
    pos_ = 0;
  }
  size_t old = buffer_.size();
  buffer_.resize(old + kReadChunk);
  size_t n = 0;
  try {
    n = Read(std::span<char>(buffer_.data() + old, kReadChunk), deadline);
  } catch (...) {
    buffer_.resize(old);
    throw;
  }
  buffer_.resize(old + n);
  return n > 0;
}

std::optional<std::string> BufferedSocket::ReadLine(size_t max_bytes, platform::Deadline deadline) {
  size_t scanned = pos_;
  for (;;) {
    size_t lf = buffer_.find('\n', scanned);
    if (lf != std::string::npos) {
      if (lf - pos_ > max_bytes) throw LineTooLongError();
      std::string line = buffer_.substr(pos_, lf - pos_);
      pos_ = lf + 1;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return line;
    }
    if (buffer_.size() - pos_ > max_bytes) throw LineTooLongError();
    // Fill may move the unread bytes to the front of the buffer.
    const size_t unread = buffer_.size() - pos_;
    const bool more = Fill(deadline);
    scanned = pos_ + unread;
    if (!more) {
      if (pos_ == buffer_.size()) return std::nullopt;
      std::string line = buffer_.substr(pos_);
      pos_ = buffer_.size();
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return line;
    }
  }
}

std::string_view BufferedSocket::ReadSome(size_t max, platform::Deadline deadline) {
  if (pos_ == buffer_.size()) {
    // Large reads go straight from the socket, without the line buffer.
    buffer_.clear();
    pos_ = 0;
    if (chunk_.size() < kReadChunk) chunk_.resize(kReadChunk);
    size_t n = Read(std::span<char>(chunk_.data(), std::min(max, chunk_.size())), deadline);
    return std::string_view(chunk_.data(), n);
  }
  size_t n = std::min(max, buffer_.size() - pos_);
  std::string_view out(buffer_.data() + pos_, n);
  pos_ += n;
  return out;
}

}  // namespace quilvane::transfer
