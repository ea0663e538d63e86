#pragma once

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/socket.h"
#include "transfer/buffered_socket.h"

namespace quilvane::transfer {

// A reply read on the control connection: the code and its text lines (the
// code and the character after it removed from the lines that start with it).
struct FtpReply {
  int code = 0;
  std::vector<std::string> text;
  // The failure text: every line followed by CR LF.
  std::string Text() const;
};

// A reply outside the codes a command accepts; what() is the reply's text.
class FtpReplyError : public platform::Error {
 public:
  explicit FtpReplyError(const FtpReply& reply) : platform::Error(reply.Text()), code_(reply.code) {}
  int code() const { return code_; }

 private:
  int code_;
};

// A PASV reply's address, before the private-address rule.
struct PassiveAddress {
  std::string host;  // h1.h2.h3.h4 as text
  int port = 0;
};

// Parses the first text line of a 227 reply. Throws platform::Error with the
// number conversion's message when a field is not a number.
PassiveAddress ParsePassiveReply(std::string_view line);

// Whether an address text counts as not publicly routable.
bool IsPrivateAddressText(std::string_view host);

// The host the data connection goes to: a private PASV host is replaced by the
// control connection's peer when that peer is public.
std::string ChoosePassiveHost(const std::string& pasv_host, const std::string& control_peer);

// Time limits of the client's connections.
struct FtpTimeouts {
  std::chrono::milliseconds connect{30000};
  // Silence that fails a wait on the control or a data connection.
  std::chrono::milliseconds idle{60000};
  // Longest run of one operation (a command with its data).
  std::chrono::milliseconds step{10 * 60 * 1000};
  // How long Disconnect waits for the answer to QUIT.
  std::chrono::milliseconds quit_wait{100};
};

// IdFTP1: the FTP client object the service module keeps for the process's
// life. Passive only, IPv4, one control connection at a time. Failures are
// platform::Error (FtpReplyError for refused replies, platform::SocketError,
// platform::TimeoutError); after one the caller calls Disconnect.
class FtpClient {
 public:
  enum class TransferType { kBinary, kAscii };

  FtpClient();
  ~FtpClient();
  FtpClient(const FtpClient&) = delete;
  FtpClient& operator=(const FtpClient&) = delete;

  void set_host(const std::string& host) { host_ = host; }
  void set_port(int port) { port_ = port; }
  void set_username(const std::string& user) { username_ = user; }
  void set_password(const std::string& password) { password_ = password; }
  void set_passive(bool passive) { passive_ = passive; }
  // While connected, a change sends "TYPE" at once.
  void set_transfer_type(TransferType type);
  TransferType transfer_type() const { return type_; }
  void set_resolver(platform::Resolver resolver) { resolver_ = std::move(resolver); }
  void set_timeouts(const FtpTimeouts& timeouts) { timeouts_ = timeouts; }

  bool connected() const { return control_.is_open(); }
  const FtpReply& greeting() const { return greeting_; }
  const std::string& system_description() const { return system_; }
  const std::vector<std::string>& capabilities() const { return capabilities_; }
  bool utf8() const { return utf8_; }
  const FtpReply& last_reply() const { return last_reply_; }

  void Connect();
  void ChangeDir(const std::string& folder);
  // The names of the current folder ("NLST"), one per entry.
  void List(std::vector<std::string>& dest);
  void Delete(const std::string& name);
  // Stores the whole local file; an empty remote name takes the local one.
  void Put(const std::string& local_path, const std::string& remote_name);
  // "QUIT" and close when connected; harmless otherwise.
  void Disconnect();

 private:
  using Codes = std::initializer_list<int>;

  void ConnectOnce(bool send_host);
  void StartStep();
  FtpReply ReadReply();
  // Sends and reads the reply; an empty `accepted` accepts any code.
  FtpReply SendCmd(const std::string& command, Codes accepted);
  void WriteCommand(const std::string& command);
  FtpReply CheckReply(FtpReply reply, Codes accepted);
  void CloseNow();
  bool HasCapability(std::string_view word) const;
  platform::Socket OpenDataConnection();
  std::string PassiveReceive(const std::string& command);
  void PassiveSend(const std::string& command, platform::File& file);
  std::string Encode(const std::string& text) const;
  std::string Decode(const std::string& bytes) const;

  std::string host_;
  int port_ = 21;
  std::string username_;
  std::string password_;
  bool passive_ = true;
  TransferType type_ = TransferType::kBinary;
  platform::Resolver resolver_;
  FtpTimeouts timeouts_;

  BufferedSocket control_;
  platform::Deadline deadline_ = platform::Deadline::max();
  FtpReply greeting_;
  FtpReply last_reply_;
  std::string system_;
  std::vector<std::string> capabilities_;
  bool utf8_ = false;
};

// The text the client identifies itself with ("CLNT").
std::string FtpClientIdentification();

}  // namespace quilvane::transfer
