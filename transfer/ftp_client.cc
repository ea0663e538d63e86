#include "transfer/ftp_client.h"

#include <algorithm>
#include <cctype>
#include <climits>

#include "platform/codepage.h"
#include "transfer/otp.h"

namespace quilvane::transfer {
namespace {

using platform::Deadline;
using platform::SteadyClock;

// Caps on what a server can make the client hold.
constexpr size_t kMaxReplyBytes = 64 * 1024;
constexpr size_t kMaxListingBytes = 64 * 1024 * 1024;
constexpr size_t kSendChunk = 256 * 1024;

class ReplyTimeout : public platform::TimeoutError {
 public:
  ReplyTimeout() : platform::TimeoutError("Read timed out.") {}
};

bool IsBlankOrControl(unsigned char c) { return c <= ' ' || c == 0x7f; }

std::string TrimLine(const std::string& line) {
  size_t b = 0, e = line.size();
  while (b < e && IsBlankOrControl(static_cast<unsigned char>(line[b]))) ++b;
  while (e > b && IsBlankOrControl(static_cast<unsigned char>(line[e - 1]))) --e;
  return line.substr(b, e - b);
}

std::string TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return std::string(s);
}

bool ThreeDigits(std::string_view s) {
  return s.size() >= 3 && std::isdigit(static_cast<unsigned char>(s[0])) &&
         std::isdigit(static_cast<unsigned char>(s[1])) &&
         std::isdigit(static_cast<unsigned char>(s[2]));
}

std::string FirstWord(const std::string& line) {
  std::string t = TrimBlanks(line);
  return t.substr(0, t.find(' '));
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && EqualsNoCase(s.substr(0, prefix.size()), prefix);
}

// Decimal text to an int, blanks around it allowed, as the number
// conversion reads it; anything else fails with its message.
int StrToInt(std::string_view text) {
  std::string t = TrimBlanks(text);
  size_t i = 0;
  bool negative = false;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) negative = t[i++] == '-';
  if (i == t.size()) throw platform::Error("'" + t + "' is not a valid integer value");
  long long value = 0;
  for (; i < t.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(t[i])) || value > INT_MAX) {
      throw platform::Error("'" + t + "' is not a valid integer value");
    }
    value = value * 10 + (t[i] - '0');
  }
  if (negative) value = -value;
  if (value > INT_MAX || value < INT_MIN) {
    throw platform::Error("'" + t + "' is not a valid integer value");
  }
  return static_cast<int>(value);
}

bool Accepted(int code, std::initializer_list<int> accepted) {
  return accepted.size() == 0 || std::find(accepted.begin(), accepted.end(), code) != accepted.end();
}

bool Contains(std::initializer_list<int> accepted, int code) {
  return std::find(accepted.begin(), accepted.end(), code) != accepted.end();
}

}  // namespace

std::string FtpReply::Text() const {
  std::string out;
  for (const auto& line : text) out += line + "\r\n";
  return out;
}

std::string FtpClientIdentification() { return "Quilvane " QUILVANE_VERSION; }

PassiveAddress ParsePassiveReply(std::string_view line_in) {
  std::string line = TrimBlanks(line_in);
  size_t open = line.find('(');
  std::string field;
  if (open == std::string::npos) {
    size_t blank = line.rfind(' ');
    field = blank == std::string::npos ? line : line.substr(blank + 1);
  } else {
    size_t close = line.find(')');
    // Without ")" (or with one before "("), the field runs to the end.
    field = close == std::string::npos || close < open ? line.substr(open + 1)
                                                        : line.substr(open + 1, close - open - 1);
  }
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t comma = field.find(',', start);
    parts.push_back(field.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (comma == std::string::npos) break;
    start = comma + 1;
    if (parts.size() > 64) break;
  }
  while (parts.size() < 6) parts.emplace_back();
  PassiveAddress out;
  out.host = TrimBlanks(parts[0]) + "." + TrimBlanks(parts[1]) + "." + TrimBlanks(parts[2]) + "." +
             TrimBlanks(parts[3]);
  int p1 = StrToInt(parts[4]);
  int p2 = StrToInt(parts[5]);
  out.port = (p1 & 255) * 256 + (p2 & 255);
  return out;
}

bool IsPrivateAddressText(std::string_view host) {
  if (host.starts_with("127") || host.starts_with("10.") || host.starts_with("169.254") ||
      host.starts_with("192.168")) {
    return true;
  }
  if (host.starts_with("172") && host.size() >= 7 && host[6] == '.' &&
      std::isdigit(static_cast<unsigned char>(host[4])) &&
      std::isdigit(static_cast<unsigned char>(host[5]))) {
    int second = (host[4] - '0') * 10 + (host[5] - '0');
    return second >= 16 && second <= 31;
  }
  return false;
}

std::string ChoosePassiveHost(const std::string& pasv_host, const std::string& control_peer) {
  if (IsPrivateAddressText(pasv_host) && !IsPrivateAddressText(control_peer)) return control_peer;
  return pasv_host;
}

FtpClient::FtpClient() : resolver_(platform::ResolveIpv4) {}

FtpClient::~FtpClient() { CloseNow(); }

void FtpClient::StartStep() { deadline_ = SteadyClock::now() + timeouts_.step; }

std::string FtpClient::Encode(const std::string& text) const {
  return utf8_ ? text : platform::Utf8ToLatin1(text);
}

std::string FtpClient::Decode(const std::string& bytes) const {
  if (utf8_) return bytes;
  return platform::Latin1ToUtf8(bytes);
}

void FtpClient::CloseNow() { control_.Close(); }

bool FtpClient::HasCapability(std::string_view word) const {
  for (const auto& line : capabilities_) {
    if (EqualsNoCase(FirstWord(line), word)) return true;
  }
  return false;
}

FtpReply FtpClient::ReadReply() {
  if (!control_.is_open()) throw ConnectionClosedError();
  size_t total = 0;
  auto read_line = [&]() -> std::string {
    for (;;) {
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
      std::string trimmed = TrimLine(Decode(*line));
      if (!trimmed.empty()) return trimmed;
    }
  };
  std::vector<std::string> lines;
  lines.push_back(read_line());
  std::string code_text = lines[0].substr(0, 3);
  FtpReply reply;
  reply.code = ThreeDigits(lines[0]) ? std::stoi(code_text) : 0;
  if (lines[0].size() > 3 && lines[0][3] == '-') {
    for (;;) {
      std::string line = read_line();
      lines.push_back(line);
      if (ThreeDigits(line) && line.compare(0, 3, code_text) == 0 &&
          (line.size() == 3 || line[3] == ' ')) {
        break;
      }
    }
  }
  for (const auto& line : lines) {
    if (line.compare(0, 3, code_text) == 0 && line.size() >= 3) {
      reply.text.push_back(line.size() > 4 ? line.substr(4) : std::string());
    } else {
      reply.text.push_back(line);
    }
  }
  last_reply_ = reply;
  return reply;
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
    SendCmd(type == TransferType::kBinary ? "TYPE I" : "TYPE A", {200});
  }
}

void FtpClient::Connect() {
  StartStep();
  ConnectOnce(/*send_host=*/true);
}

void FtpClient::ConnectOnce(bool send_host) {
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
    FtpReply greeting = ReadReply();
    if (greeting.code >= 100 && greeting.code < 200) greeting = ReadReply();
    greeting_ = CheckReply(greeting, {220});
  } catch (...) {
    CloseNow();
    throw;
  }

  try {
    if (send_host) {
      platform::Ipv4Address literal;
      std::string host_text = host_;
      if (platform::ParseIpv4(host_, &literal) && literal == control_.socket().peer()) {
        host_text = "[" + host_ + "]";
      }
      bool reconnect = false;
      try {
        FtpReply reply = SendCmd("HOST " + host_text, {});
        // A server that refuses the host may be closing: its close is given
        // a moment to arrive. One that does not know the command (500,
        // 502) stays, and is not waited for.
        if (reply.code != 220 && control_.buffered() == 0) {
          bool unknown_command = reply.code == 500 || reply.code == 502;
          auto wait = unknown_command ? std::chrono::milliseconds(0) : timeouts_.quit_wait;
          if (control_.socket().WaitReadable(wait) && control_.socket().PeerClosed()) {
            reconnect = true;
          }
        }
      } catch (const ConnectionClosedError&) {
        reconnect = true;
      } catch (const platform::SocketError& e) {
        if (e.code() != platform::kSocketAborted && e.code() != platform::kSocketReset) throw;
        reconnect = true;
      }
      if (reconnect) {
        CloseNow();
        ConnectOnce(/*send_host=*/false);
        return;
      }
    }

    FtpReply user = SendCmd("USER " + username_, {230, 232, 331});
    if (user.code == 331) {
      // A one-time-password challenge is answered with the response
      // computed from the password, never the password itself.
      std::string password = password_;
      if (auto challenge = FindOtpChallenge(user.Text())) {
        password = OtpResponse(*challenge, password_);
      }
      SendCmd("PASS " + password, {230, 332});
      if (last_reply_.code == 332) throw FtpReplyError(last_reply_);
    }

    FtpReply feat = SendCmd("FEAT", {});
    if ((feat.code == 211 || feat.code == 221) && feat.text.size() > 2) {
      capabilities_.assign(feat.text.begin() + 1, feat.text.end() - 1);
    }
    if (HasCapability("UTF8")) utf8_ = true;
    if (HasCapability("CLNT")) SendCmd("CLNT " + FtpClientIdentification(), {});
    const char* type_cmd = type_ == TransferType::kBinary ? "TYPE I" : "TYPE A";
    SendCmd(type_cmd, {200});
    FtpReply syst = SendCmd("SYST", {});
    system_ = syst.code == 500 || syst.text.empty() ? "Unknown" : syst.text.front();

    bool site_zone = false;
    std::string first = greeting_.text.empty() ? std::string() : greeting_.text.front();
    for (const char* name : {"Serv-U ", "BPFTP Server ", "TitanFTP server ", "Titan FTP Server "}) {
      if (StartsWithNoCase(first, name)) site_zone = true;
    }
    for (const auto& line : capabilities_) {
      if (!EqualsNoCase(FirstWord(line), "SITE")) continue;
      std::string facts = TrimBlanks(line).substr(4);
      size_t start = 0;
      for (;;) {
        size_t semi = facts.find(';', start);
        std::string fact = TrimBlanks(std::string_view(facts).substr(
            start, semi == std::string::npos ? std::string::npos : semi - start));
        if (EqualsNoCase(fact, "ZONE")) site_zone = true;
        if (semi == std::string::npos) break;
        start = semi + 1;
      }
    }
    if (site_zone) SendCmd("SITE ZONE", {});
    SendCmd(type_cmd, {200});
  } catch (...) {
    Disconnect();
    throw;
  }
}

void FtpClient::ChangeDir(const std::string& folder) {
  StartStep();
  SendCmd("CWD " + folder, {200, 250, 257});
}

void FtpClient::Delete(const std::string& name) {
  StartStep();
  SendCmd("DELE " + name, {200, 250, 257});
}

void FtpClient::List(std::vector<std::string>& dest) {
  StartStep();
  bool changed = false;
  if (type_ != TransferType::kAscii) {
    SendCmd("TYPE A", {200});
    type_ = TransferType::kAscii;
    changed = true;
  }
  auto restore = [&] {
    if (changed) {
      type_ = TransferType::kBinary;
      SendCmd("TYPE I", {200});
    }
  };
  std::vector<std::string> entries;
  try {
    std::string text = Decode(PassiveReceive("NLST"));
    size_t start = 0;
    while (start < text.size()) {
      size_t brk = text.find_first_of("\r\n", start);
      if (brk == std::string::npos) {
        entries.push_back(text.substr(start));
        break;
      }
      entries.push_back(text.substr(start, brk - start));
      start = brk + (text[brk] == '\r' && brk + 1 < text.size() && text[brk + 1] == '\n' ? 2 : 1);
    }
  } catch (...) {
    // The listing's own failure is the one reported; restoring is best effort.
    if (changed) {
      type_ = TransferType::kBinary;
      if (connected()) {
        try {
          SendCmd("TYPE I", {200});
        } catch (const platform::Error&) {
        }
      }
    }
    throw;
  }
  dest = std::move(entries);
  restore();
}

// The data connection's address. A PASV reply names an address, never a
// host name: what a peer writes there is not looked up.
static platform::Ipv4Address DataAddress(const std::string& host) {
  platform::Ipv4Address ip;
  if (!platform::ParseIpv4(host, &ip)) throw platform::SocketError(platform::kSocketHostNotFound);
  return ip;
}

platform::Socket FtpClient::OpenDataConnection() {
  FtpReply pasv = SendCmd("PASV", {227});
  PassiveAddress address = ParsePassiveReply(pasv.text.empty() ? std::string() : pasv.text.front());
  std::string host = ChoosePassiveHost(address.host, control_.socket().peer().ToString());
  platform::Ipv4Address ip = DataAddress(host);
  platform::SocketTimeouts socket_timeouts{timeouts_.connect, timeouts_.idle};
  return platform::Socket::Connect(ip, static_cast<std::uint16_t>(address.port), socket_timeouts,
                                   deadline_);
}

std::string FtpClient::PassiveReceive(const std::string& command) {
  if (HasCapability("PRET")) SendCmd("PRET " + command, {});
  platform::Socket data = OpenDataConnection();
  FtpReply reply = SendCmd(command, {125, 150, 154, 450});
  std::string received;
  if (reply.code == 450) return received;
  try {
    std::string chunk(64 * 1024, '\0');
    for (;;) {
      size_t n = data.Read(std::span<char>(chunk.data(), chunk.size()), deadline_);
      if (n == 0) break;
      if (received.size() + n > kMaxListingBytes) throw platform::SocketTimeoutError();
      received.append(chunk.data(), n);
    }
    data.Close();
  } catch (...) {
    data.Close();
    // The server still owes the final reply of the broken transfer.
    CheckReply(ReadReply(), {226, 225, 250});
    throw;
  }
  CheckReply(ReadReply(), {226, 225, 250});
  return received;
}

void FtpClient::PassiveSend(const std::string& command, platform::File& file) {
  if (HasCapability("PRET")) SendCmd("PRET " + command, {});
  FtpReply pasv = SendCmd("PASV", {227});
  PassiveAddress address = ParsePassiveReply(pasv.text.empty() ? std::string() : pasv.text.front());
  std::string host = ChoosePassiveHost(address.host, control_.socket().peer().ToString());
  WriteCommand(command);
  platform::Socket data;
  {
    platform::Ipv4Address ip = DataAddress(host);
    platform::SocketTimeouts socket_timeouts{timeouts_.connect, timeouts_.idle};
    data = platform::Socket::Connect(ip, static_cast<std::uint16_t>(address.port), socket_timeouts,
                                     deadline_);
  }
  CheckReply(ReadReply(), {110, 125, 150});
  try {
    std::string chunk(kSendChunk, '\0');
    for (;;) {
      size_t n = file.Read(std::span<char>(chunk.data(), chunk.size()));
      if (n == 0) break;
      data.WriteAll(std::string_view(chunk.data(), n), deadline_);
    }
    data.Close();
  } catch (...) {
    data.Close();
    // A store that broke off is never reported as done, whatever the server
    // answers; its final reply is still read to keep the conversation in step.
    CheckReply(ReadReply(), {226, 225, 250});
    throw;
  }
  CheckReply(ReadReply(), {226, 225, 250});
}

void FtpClient::Put(const std::string& local_path, const std::string& remote_name) {
  StartStep();
  std::string remote = remote_name;
  if (remote.empty()) {
    size_t cut = local_path.find_last_of("\\:/");
    remote = cut == std::string::npos ? local_path : local_path.substr(cut + 1);
  }
  platform::File file;
  try {
    file = platform::File(local_path, platform::File::Mode::kRead);
  } catch (const platform::SystemError& e) {
    throw platform::Error("Cannot open file \"" + local_path + "\". " +
                          platform::SystemMessage(e.code()));
  }
  PassiveSend("STOR " + remote, file);
}

void FtpClient::Disconnect() {
  if (!control_.is_open()) return;
  try {
    deadline_ = SteadyClock::now() + timeouts_.idle;
    WriteCommand("QUIT");
    if (control_.buffered() > 0 || control_.socket().WaitReadable(timeouts_.quit_wait)) {
      ReadReply();
    }
  } catch (const platform::Error&) {
  }
  CloseNow();
}

}  // namespace quilvane::transfer
