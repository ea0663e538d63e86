#include "transfer/ftp_client.h"

#include <algorithm>
#include <exception>

#include "platform/codepage.h"
#include "transfer/otp.h"
#include "platform/path.h"

namespace quilvane::transfer {
namespace {

using platform::SteadyClock;

// Caps on what a server can make the client hold.
constexpr size_t kMaxReplyBytes = 64 * 1024;
constexpr size_t kMaxListingBytes = 64 * 1024 * 1024;
constexpr size_t kReceiveChunk = 64 * 1024;
constexpr size_t kSendChunk = 256 * 1024;

class ReplyTimeout : public platform::TimeoutError {
 public:
  ReplyTimeout() : platform::TimeoutError("Read timed out.") {}
};

bool Accepted(int code, std::initializer_list<int> accepted) {
  return accepted.size() == 0 ||
         std::find(accepted.begin(), accepted.end(), code) != accepted.end();
}

bool Contains(std::initializer_list<int> accepted, int code) {
  return std::find(accepted.begin(), accepted.end(), code) != accepted.end();
}

}  // namespace

ListingTooLongError::ListingTooLongError(size_t limit)
    : platform::Error("Listing too long: more than " + std::to_string(limit) + " bytes.") {}

std::string FtpClientIdentification() { return "Quilvane " QUILVANE_VERSION; }

FtpClient::FtpClient() : resolver_(platform::ResolveIpv4) {}

FtpClient::~FtpClient() { CloseNow(); }

void FtpClient::StartStep() {
  step_start_ = SteadyClock::now();
  deadline_ = std::min(CeilingEnd(timeouts_.progress, step_start_), deadline_cap_);
}

std::string FtpClient::Encode(const std::string& text) const {
  return utf8_ ? text : platform::Utf8ToLatin1(text);
}

std::string FtpClient::Decode(const std::string& bytes) const {
  if (utf8_) return bytes;
  return platform::Latin1ToUtf8(bytes);
}

std::string FtpClient::TypeCommand() const {
  return type_ == TransferType::kBinary ? "TYPE I" : "TYPE A";
}

void FtpClient::CloseNow() { control_.Close(); }

FtpReply FtpClient::ReadReply() {
  if (!control_.is_open()) throw ConnectionClosedError();
  FtpReplyFramer framer;
  size_t total = 0;
  bool complete = false;
  while (!complete) {
    std::optional<std::string> line;
    try {
      line = control_.ReadLine(kMaxReplyBytes - std::min(total, kMaxReplyBytes), deadline_);
    } catch (const platform::TimeoutError&) {
      throw ReplyTimeout();
    } catch (const LineTooLongError&) {
      throw ReplyTimeout();
    }
    if (!line) throw ConnectionClosedError();
    total += line->size() + 1;
    if (total > kMaxReplyBytes) throw ReplyTimeout();
    complete = framer.Add(Decode(*line));
  }
  last_reply_ = framer.reply();
  return last_reply_;
}

FtpReply FtpClient::CheckReply(FtpReply reply, Codes accepted) {
  if (reply.code == 421 && !Contains(accepted, 421)) {
    CloseNow();
    throw FtpReplyError(reply);
  }
  if (!Accepted(reply.code, accepted)) throw FtpReplyError(reply);
  return reply;
}

void FtpClient::WriteCommand(const std::string& command) {
  if (!control_.is_open()) throw ConnectionClosedError();
  control_.WriteAll(Encode(command) + "\r\n", deadline_);
}

FtpReply FtpClient::SendCmd(const std::string& command, Codes accepted) {
  WriteCommand(command);
  return CheckReply(ReadReply(), accepted);
}

void FtpClient::set_transfer_type(TransferType type) {
  if (type == type_) return;
  type_ = type;
  if (connected()) {
    StartStep();
    SendCmd(TypeCommand(), {200});
  }
}

// A failure before the greeting was accepted closes without "QUIT"; one
// after it quits first.
void FtpClient::Connect() {
  StartStep();
  OpenControl();
  try {
    if (!SendHost()) {
      // The server closed on the HOST: once more, without it.
      CloseNow();
      OpenControl();
    }
    if (security_ == FtpSecurity::kExplicit) SecureControl();
    const bool protected_before_login = security_ == FtpSecurity::kNone || ProtectData(false);
    Login();
    if (!protected_before_login) ProtectData(true);
    ReadFeatures();
    SendCmd(TypeCommand(), {200});
    ReadSystem();
    if (ServerTakesSiteZone(greeting_, capabilities_)) SendCmd("SITE ZONE", {});
    SendCmd(TypeCommand(), {200});
  } catch (...) {
    Disconnect();
    throw;
  }
}

// A fresh control connection up to its accepted greeting.
void FtpClient::OpenControl() {
  CloseNow();
  greeting_ = FtpReply();
  last_reply_ = FtpReply();
  system_.clear();
  capabilities_.clear();
  utf8_ = false;

  platform::Ipv4Address address = resolver_(host_);
  if (port_ < 1 || port_ > 65535) throw platform::SocketError(10049);
  platform::SocketTimeouts socket_timeouts{timeouts_.connect, timeouts_.idle};
  control_ = BufferedSocket(platform::Socket::Connect(address, static_cast<std::uint16_t>(port_),
                                                      socket_timeouts, deadline_));
  try {
    // Implicit TLS: the server's first byte is already inside it.
    if (security_ == FtpSecurity::kImplicit) control_.StartTls(Tls(), host_, deadline_);
    FtpReply greeting = ReadReply();
    if (greeting.code >= 100 && greeting.code < 200) greeting = ReadReply();
    greeting_ = CheckReply(greeting, {220});
  } catch (...) {
    CloseNow();
    throw;
  }
}

// "HOST", any reply accepted. False when the server closed the connection
// on it, so that the caller connects again without it.
bool FtpClient::SendHost() {
  platform::Ipv4Address literal;
  std::string host_text = host_;
  if (platform::ParseIpv4(host_, &literal) && literal == control_.socket().peer()) {
    host_text = "[" + host_ + "]";
  }
  try {
    FtpReply reply = SendCmd("HOST " + host_text, {});
    if (reply.code == 220 || control_.buffered() > 0) return true;
    // A server that refuses the host may be closing: its close is given a
    // moment to arrive. One that does not know the command (500, 502)
    // stays, and is not waited for.
    bool unknown_command = reply.code == 500 || reply.code == 502;
    auto wait = unknown_command ? std::chrono::milliseconds(0) : timeouts_.quit_wait;
    return !(control_.WaitReadable(wait) && control_.PeerClosed());
  } catch (const ConnectionClosedError&) {
    return false;
  } catch (const platform::SocketError& e) {
    if (e.code() != platform::kSocketAborted && e.code() != platform::kSocketReset) throw;
    return false;
  }
}

void FtpClient::Login() {
  FtpReply user = SendCmd("USER " + username_, {230, 232, 331});
  if (user.code != 331) return;
  // A one-time-password challenge is answered with the response computed
  // from the password, never the password itself.
  std::string password = password_;
  if (auto challenge = FindOtpChallenge(user.Text())) {
    password = OtpResponse(*challenge, password_);
  }
  SendCmd("PASS " + password, {230, 332});
  if (last_reply_.code == 332) throw FtpReplyError(last_reply_);
}

// "FEAT": the capabilities, the control encoding, and "CLNT" when offered.
void FtpClient::ReadFeatures() {
  FtpReply feat = SendCmd("FEAT", {});
  if ((feat.code == 211 || feat.code == 221) && feat.text.size() > 2) {
    capabilities_.assign(feat.text.begin() + 1, feat.text.end() - 1);
  }
  if (HasFeature(capabilities_, "UTF8")) utf8_ = true;
  if (HasFeature(capabilities_, "CLNT")) SendCmd("CLNT " + FtpClientIdentification(), {});
}

void FtpClient::ReadSystem() {
  FtpReply syst = SendCmd("SYST", {});
  system_ = syst.code == 500 || syst.text.empty() ? "Unknown" : syst.text.front();
}

void FtpClient::ChangeDir(const std::string& folder) {
  StartStep();
  SendCmd("CWD " + folder, {200, 250, 257});
}

void FtpClient::Delete(const std::string& name) {
  StartStep();
  SendCmd("DELE " + name, {200, 250, 257});
}

void FtpClient::Rename(const std::string& from, const std::string& to) {
  StartStep();
  SendCmd("RNFR " + from, {350});
  SendCmd("RNTO " + to, {250});
}

void FtpClient::MakeDir(const std::string& folder) {
  StartStep();
  SendCmd("MKD " + folder, {250, 257});
}

std::string FtpClient::Get(const std::string& name, size_t max_bytes, bool* truncated) {
  StartStep();
  bool cut = false;
  std::string bytes = PassiveReceiveBounded("RETR " + name, max_bytes, &cut);
  if (truncated) *truncated = cut;
  return bytes;
}

std::string FtpClient::ModifiedTime(const std::string& name) {
  StartStep();
  FtpReply reply = SendCmd("MDTM " + name, {213});
  std::string text = reply.text.empty() ? std::string() : reply.text.front();
  const size_t start = text.find_first_not_of(' ');
  return start == std::string::npos ? std::string() : text.substr(start);
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

void FtpClient::Disconnect() {
  if (!control_.is_open()) return;
  try {
    deadline_ = std::min(SteadyClock::now() + timeouts_.idle, deadline_cap_);
    WriteCommand("QUIT");
    if (control_.WaitReadable(timeouts_.quit_wait)) {
      ReadReply();
    }
    // A TLS session ends with our close alert, as the server's log expects.
    if (control_.tls()) control_.Shutdown(SteadyClock::now() + timeouts_.quit_wait);
  } catch (const platform::Error&) {
  }
  CloseNow();
}

}  // namespace quilvane::transfer
