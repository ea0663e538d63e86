#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/socket.h"
#include "platform/tls.h"
#include "transfer/buffered_socket.h"
#include "transfer/ftp_reply.h"
#include "transfer/ftp_security.h"
#include "transfer/progress.h"

namespace quilvane::transfer {

// Time limits of the client's connections.
struct FtpTimeouts {
  std::chrono::milliseconds connect{30000};
  // Silence that fails a wait on the control or a data connection.
  std::chrono::milliseconds idle{60000};
  // The rule a data connection (listing, upload) must keep; its ceiling
  // bounds one operation (a command with its data) as a whole.
  ProgressLimits progress;
  // How long Disconnect waits for the answer to QUIT.
  std::chrono::milliseconds quit_wait{100};
};

// A listing larger than the client holds in memory.
class ListingTooLongError : public platform::Error {
 public:
  explicit ListingTooLongError(size_t limit);
};

// IdFTP1: the FTP client object the service module keeps for the process's
// life. Passive only, IPv4, one control connection at a time. Failures are
// platform::Error (FtpReplyError for refused replies, platform::SocketError,
// platform::TimeoutError, TransferTooSlowError for a data connection that
// broke the progress rule, ListingTooLongError, platform::TlsError);
// after one the caller calls Disconnect.
//
// With TLS (set_security), the password and every byte of every data
// connection travel inside TLS only: a server that refuses AUTH TLS, PBSZ or
// PROT P fails Connect before USER is sent, and each data connection
// resumes the control connection's session (servers demand it). A data
// stream that ends without its close alert is a cut transfer.
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
  // No wait of any operation (connect, reply, data) lasts past `cap`,
  // whatever the timeouts; Deadline::max() lifts it.
  void set_deadline_cap(platform::Deadline cap) { deadline_cap_ = cap; }
  // How the next Connect protects the session; `config` is what its
  // certificates are checked against. kNone: plain FTP, as ever.
  void set_security(FtpSecurity security, const platform::TlsConfig& config = {});
  FtpSecurity security() const { return security_; }

  bool connected() const { return control_.is_open(); }
  const FtpReply& greeting() const { return greeting_; }
  const std::string& system_description() const { return system_; }
  const std::vector<std::string>& capabilities() const { return capabilities_; }
  bool utf8() const { return utf8_; }
  const FtpReply& last_reply() const { return last_reply_; }
  // What the control connection's TLS shows; nullopt without TLS.
  std::optional<platform::TlsPeerInfo> tls_peer_info() const;

  void Connect();
  void ChangeDir(const std::string& folder);
  // The names of the current folder ("NLST"), one per entry.
  void List(std::vector<std::string>& dest);
  void Delete(const std::string& name);
  // Renames a file of the current folder ("RNFR", then "RNTO").
  void Rename(const std::string& from, const std::string& to);
  // Creates a folder ("MKD") in the current one.
  void MakeDir(const std::string& folder);
  // The file's bytes ("RETR"), at most `max_bytes` of them. At the first
  // byte past them the data connection is closed and the transfer aborted
  // ("ABOR"), and `truncated` says so: a huge file is never drained. A
  // missing file is FtpReplyError.
  std::string Get(const std::string& name, size_t max_bytes, bool* truncated = nullptr);
  // Whether the server's features offer machine listings ("MLST").
  bool offers_machine_listing() const;
  // The current folder's machine listing ("MLSD") and long listing
  // ("LIST"): the raw lines, one per entry, for ParseMlsdLine and
  // ParseListLine. A refusal is FtpReplyError.
  void ListMachine(std::vector<std::string>& dest);
  void ListDetails(std::vector<std::string>& dest);
  // The file's size ("SIZE"); FtpReplyError when refused, platform::Error
  // when the answer is not a size.
  std::uint64_t Size(const std::string& name);
  // The file's modification time as the server states it ("MDTM", UTC):
  // "YYYYMMDDHHMMSS" with any fraction; FtpReplyError when refused.
  std::string ModifiedTime(const std::string& name);
  // Stores the whole local file; an empty remote name takes the local one.
  void Put(const std::string& local_path, const std::string& remote_name);
  // "QUIT" and close when connected; harmless otherwise.
  void Disconnect();

 private:
  using Codes = std::initializer_list<int>;
  class AsciiListing;

  // Where a data connection goes: the PASV reply's address after the
  // private-address rule.
  struct DataEndpoint {
    std::string host;
    int port = 0;
  };

  // Connect's steps, in order.
  void OpenControl();
  bool SendHost();
  // "AUTH TLS", then the handshake on the control connection.
  void SecureControl();
  // "PBSZ 0" and "PROT P"; false when the server wants them after the
  // login (530, 503), and `after_login` is false.
  bool ProtectData(bool after_login);
  void Login();
  void ReadFeatures();
  void ReadSystem();

  void StartStep();
  FtpReply ReadReply();
  // Sends and reads the reply; an empty `accepted` accepts any code.
  FtpReply SendCmd(const std::string& command, Codes accepted);
  void WriteCommand(const std::string& command);
  FtpReply CheckReply(FtpReply reply, Codes accepted);
  std::string TypeCommand() const;
  void CloseNow();
  // The lines of a listing command, in ASCII type.
  std::vector<std::string> ListLines(const std::string& command);
  // After the client closed a data connection early: "ABOR", then "NOOP",
  // and every reply read up to NOOP's, so the next command reads its own.
  void AbortTransfer();
  void SendPret(const std::string& command);
  DataEndpoint RequestPassive();
  BufferedSocket ConnectData(const DataEndpoint& endpoint);
  // The handshake on a data connection whose command the server accepted,
  // resuming the control connection's session; nothing without TLS.
  void SecureData(BufferedSocket& data);
  // Our close alert after the last byte stored, so that the server can
  // tell a whole file from a cut one; nothing without TLS.
  void EndData(BufferedSocket& data);
  platform::TlsClient& Tls();
  // Runs `flow` on the open data connection, closes it and reads the
  // transfer's final reply, also after `flow` failed.
  void Transfer(BufferedSocket& data, const std::function<void()>& flow);
  std::string PassiveReceive(const std::string& command);
  std::string PassiveReceiveBounded(const std::string& command, size_t max_bytes, bool* truncated);
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
  FtpSecurity security_ = FtpSecurity::kNone;
  platform::TlsConfig tls_config_;
  // Made at the first TLS connection: its trust store and the session the
  // data connections resume.
  std::optional<platform::TlsClient> tls_;

  BufferedSocket control_;
  platform::Deadline step_start_;
  platform::Deadline deadline_ = platform::Deadline::max();
  platform::Deadline deadline_cap_ = platform::Deadline::max();
  FtpReply greeting_;
  FtpReply last_reply_;
  std::string system_;
  std::vector<std::string> capabilities_;
  bool utf8_ = false;
};

// The text the client identifies itself with ("CLNT").
std::string FtpClientIdentification();

}  // namespace quilvane::transfer
