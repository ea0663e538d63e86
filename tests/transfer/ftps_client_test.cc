// Guards the promise of ftpes://: the password never leaves the machine
// unless the control connection is inside TLS. Servers that refuse or
// subvert AUTH TLS end the upload with a clear connection error, before
// USER is sent and with nothing stored. (These peers speak no TLS; the sessions that do
// run against the real vsftpd.)
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/temp_dir.h"
#include "tests/transfer/fakes/ftp_script.h"
#include "tests/transfer/fakes/scripted_peer.h"
#include "tests/transfer/ftp_test_client.h"
#include "tests/transfer/test_resolver.h"
#include "transfer/upload.h"

namespace quilvane::transfer {
namespace {

using testing::FtpScript;
using testing::kAnyLine;
using testing::kCloseConnection;
using testing::PeerConnection;
using testing::ScriptedPeer;
using Lines = std::vector<std::string>;
using namespace std::chrono_literals;

TEST(FtpesBadPeerTest, NoPasswordUnlessTheControlConnectionIsInsideTls) {
  struct Case {
    const char* name;
    FtpScript script;   // after the greeting and HOST
    Lines transcript;   // what the client sent, HOST excluded
    const char* error;  // how the connection error starts
  };
  const Case cases[] = {
      {"auth_unknown",
       {{"AUTH TLS", "500 AUTH not understood"}, {"QUIT", "221 bye"}, {kAnyLine, ""}},
       {"AUTH TLS", "QUIT", "<closed>"},
       "O servidor FTP recusou AUTH TLS (500 AUTH not understood): a "
       "senha não foi enviada; confira se o servidor aceita TLS explícito (ftpes://) ou use "
       "ftps://"},
      {"auth_ssl_style_answer",
       {{"AUTH TLS", "334 ADAT needed"}, {"QUIT", "221 bye"}, {kAnyLine, ""}},
       {"AUTH TLS", "QUIT", "<closed>"},
       "O servidor FTP recusou AUTH TLS (334 ADAT needed)"},
      // A man in the middle answers for the server in clear text after the
      // 234, hoping the client takes it as said inside TLS.
      {"clear_text_after_234",
       {{"AUTH TLS", "234 Proceed\r\n230 Logged in"}, {"QUIT", ""}, {kAnyLine, ""}},
       {"AUTH TLS", "QUIT", "<closed>"},
       "O servidor FTP enviou dados em texto aberto depois de aceitar "
       "AUTH TLS: conexão recusada, a senha não foi enviada"},
      {"service_closing",
       {{"AUTH TLS", "421 Too many users"}, {kAnyLine, ""}},
       {"AUTH TLS", "<closed>"},
       "Too many users"},
      {"closed_on_auth",
       {{"AUTH TLS", kCloseConnection}},
       {"AUTH TLS"},
       "Connection Closed Gracefully."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    dir.Write("12345678000190.ZIP", "PK archive bytes");
    ScriptedPeer peer([&](PeerConnection& conn, int) {
      FtpScript{{"", "220 ready"}, {"HOST ftp.test", "500 HOST not understood"}}
          .Then(c.script)
          .Play(conn);
    });
    FtpClient ftp;
    FtpTimeouts timeouts;
    timeouts.idle = 1000ms;
    ftp.set_timeouts(timeouts);
    ftp.set_resolver(testing::LoopbackResolver({"ftp.test"}));
    ExchangeServer server = MakeExchangeServer("ftpes://ftp.test", "", "");
    server.ftp_port = peer.port();
    server.ftp_password = "s3nha";
    const auto error = testing::UploadFailure(ftp, server, dir.File("12345678000190.ZIP"));
    EXPECT_FALSE(ftp.connected());
    peer.Join();
    Lines sent = peer.transcript();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.front(), "HOST ftp.test");
    EXPECT_EQ(Lines(sent.begin() + 1, sent.end()), c.transcript);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->step(), UploadError::Step::kConnect);
    EXPECT_TRUE(std::string_view(error->what()).starts_with(c.error)) << error->what();
  }
}

}  // namespace
}  // namespace quilvane::transfer
