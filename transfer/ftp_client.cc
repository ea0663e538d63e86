#include "transfer/ftp_client.h"

#include <algorithm>

#include "platform/codepage.h"
#include "transfer/otp.h"

namespace quilvane::transfer {
namespace {

using platform::SteadyClock;

// Caps on what a server can make the client hold.
constexpr size_t kMaxReplyBytes = 64 * 1024;

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

std::string FtpClient::ModifiedTime(const std::string& name) {
  StartStep();
  FtpReply reply = SendCmd("MDTM " + name, {213});
  std::string text = reply.text.empty() ? std::string() : reply.text.front();
  const size_t start = text.find_first_not_of(' ');
  return start == std::string::npos ? std::string() : text.substr(start);
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
