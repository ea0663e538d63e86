// The data connections of FtpClient: passive mode, the transfer and its
// final reply, the bounded download, the upload and the abort.
#include "transfer/ftp_client.h"

#include <algorithm>
#include <exception>

#include "platform/path.h"

namespace quilvane::transfer {
namespace {

// Caps on what a server can make the client hold.
constexpr size_t kMaxListingBytes = 64 * 1024 * 1024;
constexpr size_t kReceiveChunk = 64 * 1024;
constexpr size_t kSendChunk = 256 * 1024;

}  // namespace

std::string FtpClient::Get(const std::string& name, size_t max_bytes, bool* truncated) {
  StartStep();
  bool cut = false;
  std::string bytes = PassiveReceiveBounded("RETR " + name, max_bytes, &cut);
  if (truncated) *truncated = cut;
  return bytes;
}

void FtpClient::SendPret(const std::string& command) {
  if (HasFeature(capabilities_, "PRET")) SendCmd("PRET " + command, {});
}

FtpClient::DataEndpoint FtpClient::RequestPassive() {
  FtpReply pasv = SendCmd("PASV", {227});
  PassiveAddress address = ParsePassiveReply(pasv.text.empty() ? std::string() : pasv.text.front());
  return {ChoosePassiveHost(address.host, control_.socket().peer().ToString()), address.port};
}

BufferedSocket FtpClient::ConnectData(const DataEndpoint& endpoint) {
  // A PASV reply names an address, never a host name: what a peer writes
  // there is not looked up.
  platform::Ipv4Address ip;
  if (!platform::ParseIpv4(endpoint.host, &ip)) {
    throw platform::SocketError(platform::kSocketHostNotFound);
  }
  platform::SocketTimeouts socket_timeouts{timeouts_.connect, timeouts_.idle};
  return BufferedSocket(platform::Socket::Connect(ip, static_cast<std::uint16_t>(endpoint.port),
                                                  socket_timeouts, deadline_));
}

void FtpClient::Transfer(BufferedSocket& data, const std::function<void()>& flow) {
  data.WatchProgress(timeouts_.progress, step_start_);
  try {
    flow();
    data.Close();
  } catch (...) {
    data.Close();
    // The server still owes the final reply of the broken transfer; a store
    // that broke off is never reported as done, whatever it answers.
    CheckReply(ReadReply(), {226, 225, 250});
    throw;
  }
  CheckReply(ReadReply(), {226, 225, 250});
}

std::string FtpClient::PassiveReceive(const std::string& command) {
  SendPret(command);
  BufferedSocket data = ConnectData(RequestPassive());
  FtpReply reply = SendCmd(command, {125, 150, 154, 450});
  std::string received;
  if (reply.code == 450) return received;
  Transfer(data, [&] {
    SecureData(data);
    for (;;) {
      std::string_view bytes = data.ReadSome(kReceiveChunk, deadline_);
      if (bytes.empty()) break;
      if (received.size() + bytes.size() > kMaxListingBytes) {
        throw ListingTooLongError(kMaxListingBytes);
      }
      received.append(bytes);
    }
  });
  return received;
}

// A file's bytes kept up to `max_bytes`. A longer file is cut there: its
// data connection closed and the transfer aborted, so a peer that sends
// gigabytes (or never stops) costs no more than the bound.
std::string FtpClient::PassiveReceiveBounded(const std::string& command, size_t max_bytes,
                                             bool* truncated) {
  SendPret(command);
  const DataEndpoint endpoint = RequestPassive();
  // The command travels while the data connection is made: one round trip
  // less per file, which is most of a file's cost on a distant server.
  WriteCommand(command);
  BufferedSocket data;
  std::exception_ptr connect_error;
  try {
    data = ConnectData(endpoint);
  } catch (const platform::Error&) {
    connect_error = std::current_exception();
  }
  // A refusal (no such file) is the reply, whatever the connection did.
  CheckReply(ReadReply(), {125, 150, 154});
  if (connect_error) std::rethrow_exception(connect_error);
  std::string received;
  *truncated = false;
  data.WatchProgress(timeouts_.progress, step_start_);
  try {
    SecureData(data);
    while (!*truncated) {
      std::string_view bytes = data.ReadSome(kReceiveChunk, deadline_);
      if (bytes.empty()) break;
      const size_t room = max_bytes - std::min(max_bytes, received.size());
      *truncated = bytes.size() > room;
      received.append(bytes.substr(0, std::min(room, bytes.size())));
    }
  } catch (...) {
    data.Close();
    CheckReply(ReadReply(), {226, 225, 250});
    throw;
  }
  data.Close();
  if (*truncated) {
    AbortTransfer();
  } else {
    CheckReply(ReadReply(), {226, 225, 250});
  }
  return received;
}

void FtpClient::AbortTransfer() {
  // The transfer's own end (426, or 226 when the server had sent it all)
  // and ABOR's answer (226, 225) come in an order and number servers
  // differ on; NOOP's 200 marks where they end.
  constexpr int kMaxReplies = 4;
  WriteCommand("ABOR");
  WriteCommand("NOOP");
  for (int i = 0; i < kMaxReplies; ++i) {
    const FtpReply reply = ReadReply();
    if (reply.code == 421) CheckReply(reply, {});
    if (reply.code == 200) return;
  }
  CloseNow();
  throw platform::Error("ABOR: the server's replies did not end with NOOP's.");
}

void FtpClient::PassiveSend(const std::string& command, platform::File& file) {
  SendPret(command);
  DataEndpoint endpoint = RequestPassive();
  WriteCommand(command);
  BufferedSocket data = ConnectData(endpoint);
  CheckReply(ReadReply(), {110, 125, 150});
  Transfer(data, [&] {
    SecureData(data);
    std::string chunk(kSendChunk, '\0');
    for (;;) {
      size_t n = file.Read(std::span<char>(chunk.data(), chunk.size()));
      if (n == 0) break;
      data.WriteAll(std::string_view(chunk.data(), n), deadline_);
    }
    EndData(data);
  });
}

void FtpClient::Put(const std::string& local_path, const std::string& remote_name) {
  StartStep();
  const std::string remote = remote_name.empty() ? platform::FileNameOf(local_path) : remote_name;
  platform::File file;
  try {
    file = platform::File(local_path, platform::File::Mode::kRead);
  } catch (const platform::SystemError& e) {
    throw platform::Error(platform::CannotOpenFileText(local_path, e.code()));
  }
  PassiveSend("STOR " + remote, file);
}

}  // namespace quilvane::transfer
