// FTP servers over TLS that a real server cannot be made to be, played with
// OpenSSL on the server side (implicit TLS, so the whole conversation is
// protected): certificates a site must refuse, a server that will not
// protect the data connections, and data streams cut without the close
// alert, which must never pass for whole files or listings.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/tls.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tls_server.h"
#include "tests/transfer/fakes/scripted_peer.h"
#include "tests/transfer/ftp_test_client.h"
#include "tests/transfer/test_resolver.h"
#include "transfer/upload.h"

namespace quilvane::transfer {
namespace {

using platform::TlsFailure;
using testing::TlsTestServer;
using Lines = std::vector<std::string>;
using namespace std::chrono_literals;

// One line the client must send (any line when empty) and the answer
// (none when empty).
struct Step {
  std::string expect;
  std::string reply;
};

// The commands an FTP-over-TLS control connection receives, as a server
// plays them: each line read is recorded without its CR LF.
class ControlScript {
 public:
  explicit ControlScript(std::vector<Step> steps) : steps_(std::move(steps)) {}

  void Play(TlsTestServer::Connection& c) {
    c.Write("220 ready\r\n");
    for (const Step& step : steps_) {
      std::string line = c.ReadLine();
      while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
      {
        std::lock_guard<std::mutex> lock(mutex_);
        seen_.push_back(line);
      }
      if (!step.expect.empty() && line != step.expect) {
        std::lock_guard<std::mutex> lock(mutex_);
        seen_.push_back("<expected " + step.expect + ">");
        return;
      }
      if (!step.reply.empty()) c.Write(step.reply + "\r\n");
    }
  }

  Lines seen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }

 private:
  std::vector<Step> steps_;
  std::mutex mutex_;
  Lines seen_;
};

const std::vector<Step> kLogin = {
    {"HOST localhost", "500 HOST not understood"},
    {"PBSZ 0", "200 PBSZ=0"},
    {"PROT P", "200 Protection set to Private"},
    {"USER conta", "331 Password required"},
    {"PASS s3nha", "230 Logged in"},
    {"FEAT", "500 FEAT not understood"},
    {"TYPE I", "200 Type set to I"},
    {"SYST", "215 UNIX Type: L8"},
    {"TYPE I", "200 Type set to I"},
};

std::vector<Step> Then(std::vector<Step> a, const std::vector<Step>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

ExchangeServer ImplicitServer(std::uint16_t port) {
  ExchangeServer server =
      MakeExchangeServer("ftps://localhost:" + std::to_string(port), "conta", "");
  server.ftp_password = "s3nha";
  server.tls.ca_file = testing::TestCert("ca");
  server.tls.use_system_store = false;
  return server;
}

void Prepare(FtpClient& ftp, const ExchangeServer& server) {
  FtpTimeouts timeouts;
  timeouts.idle = 3000ms;
  ftp.set_timeouts(timeouts);
  ftp.set_resolver(testing::LoopbackResolver({"localhost"}));
  ConfigureForExchange(ftp, server);
}

TEST(FtpsFakeTest, RefusedCertificatesAndProtocolsStoreNothing) {
  struct Case {
    const char* name;
    TlsTestServer::Options options;
    TlsFailure failure;
  };
  const Case cases[] = {
      {"self_signed", TlsTestServer::Options::Cert("self"), TlsFailure::kNotTrusted},
      {"expired", TlsTestServer::Options::Cert("expired"), TlsFailure::kExpired},
      {"another_name", TlsTestServer::Options::Cert("other"), TlsFailure::kNameMismatch},
      {"tls_1_0_only", TlsTestServer::Options::Versions(TLS1_VERSION, TLS1_VERSION),
       TlsFailure::kProtocol},
      {"plain_text_on_the_tls_port", TlsTestServer::Options::Plain(), TlsFailure::kProtocol},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ControlScript script(kLogin);
    TlsTestServer server(c.options, [&](TlsTestServer::Connection& conn) { script.Play(conn); });
    const ExchangeServer exchange = ImplicitServer(server.port());
    testing::TempDir dir;
    dir.Write("12345678000190.ZIP", "PK archive bytes");
    FtpClient ftp;
    Prepare(ftp, exchange);
    const auto error = testing::UploadFailure(ftp, exchange, dir.File("12345678000190.ZIP"));
    std::string why;
    try {
      ftp.Connect();
      ADD_FAILURE() << "connected";
    } catch (const platform::TlsError& e) {
      EXPECT_EQ(c.failure, e.failure()) << e.what();
      why = e.what();
    }
    ftp.Disconnect();
    server.Stop();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->step(), UploadError::Step::kConnect);
    EXPECT_EQ(std::string(error->what()), why);
    // The password never reached the peer (the plain one read what came).
    for (const std::string& line : script.seen()) EXPECT_NE(line, "PASS s3nha");
  }
}

// A server that will not protect the data connections gets no password:
// PROT is asked before USER. One that wants PBSZ and PROT after the login
// gets them then, before any data connection.
TEST(FtpsFakeTest, DataProtectionBeforeThePassword) {
  {
    ControlScript script({{"HOST localhost", "500 HOST not understood"},
                          {"PBSZ 0", "200 PBSZ=0"},
                          {"PROT P", "536 Requested PROT level not supported"},
                          {"QUIT", "221 bye"}});
    TlsTestServer server({}, [&](TlsTestServer::Connection& conn) { script.Play(conn); });
    const ExchangeServer exchange = ImplicitServer(server.port());
    testing::TempDir dir;
    dir.Write("12345678000190.ZIP", "PK archive bytes");
    FtpClient ftp;
    Prepare(ftp, exchange);
    const auto error = testing::UploadFailure(ftp, exchange, dir.File("12345678000190.ZIP"));
    server.Stop();
    EXPECT_EQ(script.seen(), (Lines{"HOST localhost", "PBSZ 0", "PROT P", "QUIT"}));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->step(), UploadError::Step::kConnect);
    EXPECT_TRUE(std::string_view(error->what())
                    .starts_with("O servidor FTP recusou PROT P (536 Requested PROT level not "
                                 "supported): as conex\xC3\xB5"
                                 "es de dados n\xC3\xA3o seriam protegidas; nada foi enviado"))
        << error->what();
  }
  {
    ControlScript script(Then({{"HOST localhost", "500 HOST not understood"},
                               {"PBSZ 0", "530 Please login with USER and PASS"},
                               {"USER conta", "331 Password required"},
                               {"PASS s3nha", "230 Logged in"},
                               {"PBSZ 0", "200 PBSZ=0"},
                               {"PROT P", "200 Protection set to Private"}},
                              {kLogin.begin() + 5, kLogin.end()}));
    TlsTestServer server({}, [&](TlsTestServer::Connection& conn) { script.Play(conn); });
    FtpClient ftp;
    Prepare(ftp, ImplicitServer(server.port()));
    ftp.Connect();
    EXPECT_TRUE(ftp.connected());
    ftp.Disconnect();
    server.Stop();
    EXPECT_EQ(script.seen(), (Lines{"HOST localhost", "PBSZ 0", "USER conta", "PASS s3nha",
                                    "PBSZ 0", "PROT P", "FEAT", "TYPE I", "SYST", "TYPE I"}));
  }
}

// A data stream that ends without the server's close alert may have been
// cut by anyone on the way, whatever the server's 226 says afterwards: a
// receipt or a listing so read is a failure, never a shorter whole.
TEST(FtpsFakeTest, DataCutWithoutTheCloseAlertIsAFailure) {
  struct Case {
    const char* name;
    bool listing;
    bool close_alert;
  };
  const Case cases[] = {
      {"read_whole", false, true},
      {"read_cut", false, false},
      {"listing_whole", true, true},
      {"listing_cut", true, false},
  };
  const std::string payload = "recibo.txt\r\n" + std::string(100000, 'x');
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TlsTestServer data({}, [&](TlsTestServer::Connection& conn) {
      conn.Write(payload);
      if (c.close_alert) {
        conn.CloseNotify();
      } else {
        conn.Cut();
      }
    });
    const std::string pasv =
        "227 Entering Passive Mode " + testing::ScriptedPeer::PasvField(data.port());
    std::vector<Step> transfer =
        c.listing ? std::vector<Step>{{"TYPE A", "200 ok"},
                                      {"PASV", pasv},
                                      {"NLST", "150 Here comes the listing\r\n226 Done"},
                                      {"TYPE I", "200 ok"}}
                  : std::vector<Step>{{"PASV", pasv}, {"RETR r.txt", "150 Sending\r\n226 Done"}};
    ControlScript script(Then(Then(kLogin, transfer), {{"QUIT", "221 bye"}}));
    TlsTestServer control({}, [&](TlsTestServer::Connection& conn) { script.Play(conn); });
    FtpClient ftp;
    Prepare(ftp, ImplicitServer(control.port()));
    ftp.Connect();
    std::optional<TlsFailure> failure;
    try {
      if (c.listing) {
        std::vector<std::string> names;
        ftp.List(names);
        EXPECT_EQ(names.size(), 2u);
      } else {
        EXPECT_TRUE(ftp.Get("r.txt", 1 << 20) == payload);
      }
    } catch (const platform::TlsError& e) {
      failure = e.failure();
    }
    ftp.Disconnect();
    control.Stop();
    data.Stop();
    if (c.close_alert) {
      EXPECT_FALSE(failure.has_value());
    } else {
      EXPECT_EQ(failure, TlsFailure::kTruncated);
    }
    EXPECT_EQ(script.seen().back(), "QUIT");
  }
}

}  // namespace
}  // namespace quilvane::transfer
