// TLS on Windows, the records: the socket stays ours (non-blocking, every
// wait bounded by its idle limit and the caller's deadline); SChannel only
// turns records into bytes and back.
#include "platform/tls_schannel_session.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <string_view>
#include <utility>

namespace quilvane::platform {
namespace {

using internal::ContextBuffer;
using internal::kContextFlags;
using internal::kMaxRecordInput;
using internal::ProtocolError;
using internal::StatusText;

constexpr size_t kReadChunk = 32 << 10;

constexpr unsigned char kAlertRecord = 21;

}  // namespace

void TlsStream::Impl::ReadMore(size_t limit, Deadline deadline, const TlsError& at_end) {
  if (in_begin > 0) {
    std::memmove(in.data(), in.data() + in_begin, in_size);
    in_begin = 0;
  }
  if (in_size >= limit) throw ProtocolError("registro grande demais");
  if (in.size() < std::min(limit, in_size + kReadChunk)) {
    in.resize(std::min(limit, in_size + kReadChunk));
  }
  const size_t n = socket.Read(std::span<char>(in.data() + in_size, in.size() - in_size), deadline);
  if (n == 0) throw at_end;
  in_size += n;
}

void TlsStream::Impl::KeepExtra(const SecBuffer& extra) {
  if (extra.BufferType == SECBUFFER_EXTRA && extra.cbBuffer > 0 && extra.cbBuffer <= in_size) {
    in_begin += in_size - extra.cbBuffer;
    in_size = extra.cbBuffer;
  } else {
    in_begin = 0;
    in_size = 0;
  }
}

TlsStream::TlsStream() = default;
TlsStream::TlsStream(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TlsStream::TlsStream(TlsStream&&) noexcept = default;
TlsStream& TlsStream::operator=(TlsStream&&) noexcept = default;
TlsStream::~TlsStream() = default;

bool TlsStream::is_open() const {
  return impl_ != nullptr && impl_->have_context && impl_->socket.is_open();
}

size_t TlsStream::Read(std::span<char> out, Deadline deadline) {
  if (!is_open()) throw TlsError(TlsFailure::kOther, "Conexão TLS já fechada");
  Impl& s = *impl_;
  const TlsError cut(TlsFailure::kTruncated,
                     "Conexão TLS cortada: terminou sem o aviso de fechamento do servidor");
  for (;;) {
    if (s.plain_begin < s.plain.size()) {
      const size_t n = std::min(out.size(), s.plain.size() - s.plain_begin);
      std::memcpy(out.data(), s.plain.data() + s.plain_begin, n);
      s.plain_begin += n;
      return n;
    }
    if (s.close_alert) return 0;
    if (out.empty()) return 0;
    if (s.in_size > 0) {
      // The record's type travels in clear (TLS 1.2): see the close below.
      const auto record_type = static_cast<unsigned char>(s.in[s.in_begin]);
      SecBuffer buffers[4] = {
          {static_cast<unsigned long>(s.in_size), SECBUFFER_DATA, s.in.data() + s.in_begin},
          {0, SECBUFFER_EMPTY, nullptr},
          {0, SECBUFFER_EMPTY, nullptr},
          {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
      const SECURITY_STATUS st = DecryptMessage(&s.context, &desc, 0, nullptr);
      if (st == SEC_E_OK || st == SEC_I_CONTEXT_EXPIRED || st == SEC_I_RENEGOTIATE) {
        s.plain.clear();
        s.plain_begin = 0;
        SecBuffer extra{0, SECBUFFER_EMPTY, nullptr};
        for (const SecBuffer& b : buffers) {
          if (b.BufferType == SECBUFFER_DATA && b.cbBuffer > 0) {
            s.plain.assign(static_cast<const char*>(b.pvBuffer), b.cbBuffer);
          }
          if (b.BufferType == SECBUFFER_EXTRA) extra = b;
        }
        s.KeepExtra(extra);
        // Windows tells the peer's close alert by SEC_I_CONTEXT_EXPIRED; Wine
        // by an alert record that yields no data. Other alerts a TLS 1.2
        // peer may send without failing the record (user_canceled) come
        // just before its close anyway.
        if (st == SEC_I_CONTEXT_EXPIRED || (s.plain.empty() && record_type == kAlertRecord)) {
          s.close_alert = true;
        }
        if (st == SEC_I_RENEGOTIATE) {
          s.Handshake(deadline);
          s.Verify();
        }
        continue;
      }
      if (st != SEC_E_INCOMPLETE_MESSAGE) {
        throw ProtocolError("registro TLS inválido: " + StatusText(st));
      }
    }
    s.ReadMore(kMaxRecordInput, deadline, cut);
  }
}

size_t TlsStream::WriteSome(std::string_view bytes, Deadline deadline) {
  if (!is_open()) throw TlsError(TlsFailure::kOther, "Conexão TLS já fechada");
  if (bytes.empty()) return 0;
  Impl& s = *impl_;
  const size_t n = std::min<size_t>(bytes.size(), s.sizes.cbMaximumMessage);
  s.out.resize(s.sizes.cbHeader + n + s.sizes.cbTrailer);
  std::memcpy(s.out.data() + s.sizes.cbHeader, bytes.data(), n);
  SecBuffer buffers[4] = {
      {s.sizes.cbHeader, SECBUFFER_STREAM_HEADER, s.out.data()},
      {static_cast<unsigned long>(n), SECBUFFER_DATA, s.out.data() + s.sizes.cbHeader},
      {s.sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, s.out.data() + s.sizes.cbHeader + n},
      {0, SECBUFFER_EMPTY, nullptr}};
  SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
  const SECURITY_STATUS st = EncryptMessage(&s.context, 0, &desc, 0);
  if (st != SEC_E_OK) throw TlsError(TlsFailure::kOther, "Falha ao cifrar: " + StatusText(st));
  // The record is sent whole: the trailer may be shorter than reserved.
  const size_t total = buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer;
  if (total > s.out.size()) throw TlsError(TlsFailure::kOther, "Falha ao cifrar: registro maior");
  if (buffers[1].pvBuffer != s.out.data() + buffers[0].cbBuffer ||
      buffers[2].pvBuffer != s.out.data() + buffers[0].cbBuffer + buffers[1].cbBuffer) {
    // SChannel writes in place; anything else is not a layout we can send.
    throw TlsError(TlsFailure::kOther, "Falha ao cifrar: registro fora do lugar");
  }
  s.socket.WriteAll(std::string_view(s.out.data(), total), deadline);
  return n;
}

void TlsStream::WriteAll(std::string_view bytes, Deadline deadline) {
  while (!bytes.empty()) bytes.remove_prefix(WriteSome(bytes, deadline));
}

void TlsStream::Shutdown(Deadline deadline) {
  if (is_open()) {
    Impl& s = *impl_;
    try {
      DWORD type = SCHANNEL_SHUTDOWN;
      SecBuffer control{sizeof type, SECBUFFER_TOKEN, &type};
      SecBufferDesc control_desc{SECBUFFER_VERSION, 1, &control};
      if (ApplyControlToken(&s.context, &control_desc) == SEC_E_OK) {
        ContextBuffer token;
        SecBufferDesc out_desc{SECBUFFER_VERSION, 1, &token.buffer};
        unsigned long attributes = 0;
        const SECURITY_STATUS st = InitializeSecurityContextW(
            &s.credentials->handle, &s.context, s.target.data(), kContextFlags, 0, 0, nullptr, 0,
            nullptr, &out_desc, &attributes, nullptr);
        if ((st == SEC_E_OK || st == SEC_I_CONTEXT_EXPIRED) && !token.bytes().empty()) {
          s.socket.WriteAll(token.bytes(), deadline);
        }
      }
    } catch (const Error&) {
      // The peer has gone: nothing left to tell it.
    }
  }
  Close();
}

void TlsStream::Close() {
  if (impl_ == nullptr) return;
  impl_->DropContext();
  impl_->socket.Close();
}

TlsPeerInfo TlsStream::peer_info() const { return impl_ ? impl_->info : TlsPeerInfo{}; }

Socket& TlsStream::socket() {
  if (impl_ == nullptr) throw TlsError(TlsFailure::kOther, "Conexão TLS inexistente");
  return impl_->socket;
}

}  // namespace quilvane::platform
