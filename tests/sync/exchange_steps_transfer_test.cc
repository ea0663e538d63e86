// Guards the log-line contract of the upload and the download: a failure of
// the transfer becomes one line an operator can act on, the step's fixed
// text in front of the client's own message, and the step returns false;
// what the client leaves to its caller is not logged, and a download logs
// its two notes only when the archive came and was unpacked.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/socket.h"
#include "sync/exchange_steps.h"
#include "tests/sync/exchange_steps_fixture.h"
#include "tests/transfer/fakes/ftp_folder.h"
#include "tests/transfer/fakes/ftp_script.h"
#include "tests/transfer/fakes/scripted_peer.h"
#include "tests/transfer/test_resolver.h"
#include "transfer/download.h"
#include "transfer/ftp_reply.h"

namespace quilvane::sync {
namespace {

using quilvane::testing::FtpFolder;
using quilvane::testing::PeerConnection;
using quilvane::testing::ScriptedPeer;
using testing::RunStepCase;
using testing::Site;
using testing::StartsWith;
using testing::StepCase;
using namespace std::chrono_literals;

constexpr char kArchive[] = "12345678000190.ZIP";

// A port on the loopback where nothing listens.
int ClosedPort() {
  platform::Listener l;
  return l.port();
}

// Downloads the archive from a web side on `port` into the site's folder,
// unpacking with `unpacked` (which also checks what it was given).
bool Download(Site& s, int port, bool unpacked = true, const DownloadLimits& limits = {}) {
  transfer::ExchangeServer server;
  server.web_domain = "web.test";
  server.web_port = port;
  s.http.set_resolver(quilvane::testing::LoopbackResolver({"www.web.test", "web.test"}));
  return DownloadFile(
      s.http, transfer::DownloadSource(server, "12345678000190"), kArchive, true, s.dir.path(),
      [&](const std::string& path) {
        EXPECT_EQ(path, s.File(kArchive));
        return unpacked;
      },
      s.log, limits);
}

// A web side answering every request on `connections` connections with
// `response`; the local file is gone afterwards, unpacked or failed.
bool DownloadAnswered(Site& s, const std::string& response, int connections = 1,
                      bool unpacked = true, const DownloadLimits& limits = {}) {
  bool ok = false;
  {
    ScriptedPeer peer(
        [&response](PeerConnection& c, int) {
          while (!c.ReadRequestHead().empty()) c.Send(response);
        },
        connections);
    ok = Download(s, peer.port(), unpacked, limits);
    s.http.Disconnect();
  }
  EXPECT_FALSE(platform::FileExists(s.File(kArchive)));
  return ok;
}

// Uploads `name` from the site's folder to an FTP side on `port`.
bool Upload(Site& s, int port, const std::string& name = kArchive) {
  transfer::ExchangeServer server;
  server.ftp_host = "ftp.test";
  server.ftp_port = port;
  s.ftp.set_resolver(quilvane::testing::LoopbackResolver({"ftp.test"}));
  return sync::Upload(s.ftp, server, s.File(name), s.log);
}

bool UploadTo(Site& s, FtpFolder folder, const std::string& name = kArchive) {
  ScriptedPeer peer([&](PeerConnection& c, int) { ServeFolder(c, folder); });
  return Upload(s, peer.port(), name);
}

// Uploads to an ftpes:// side that greets, refuses HOST, then plays `after`.
bool UploadOverFtpes(Site& s, const quilvane::testing::FtpScript& after) {
  s.dir.Write(kArchive, "x");
  ScriptedPeer peer([&after](PeerConnection& c, int) {
    quilvane::testing::FtpScript{{"", "220 ready"}, {"HOST ftp.test", "500 HOST not understood"}}
        .Then(after)
        .Play(c);
  });
  transfer::ExchangeServer server = transfer::MakeExchangeServer("ftpes://ftp.test", "", "");
  server.ftp_port = peer.port();
  s.ftp.set_resolver(quilvane::testing::LoopbackResolver({"ftp.test"}));
  return sync::Upload(s.ftp, server, s.File(kArchive), s.log);
}

const StepCase kTransferCases[] = {
    {"download_unpacked",
     [](Site& s) { return DownloadAnswered(s, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nPK"); },
     true,
     {{"O arquivo baixado existe!!!"}, {"Descompactou o arquivo!!!"}}},
    {"download_not_unpacked",
     [](Site& s) {
       return DownloadAnswered(s, "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nbad", 1, false);
     },
     false,
     {{"O arquivo baixado existe!!!"}}},
    {"download_not_found",
     [](Site& s) {
       return DownloadAnswered(s, "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n", 2);
     },
     false,
     {{"Falha ao realizar o download do arquivo: HTTP/1.1 404 Not Found"}}},
    {"download_refused",
     [](Site& s) { return Download(s, ClosedPort()); },
     false,
     {{"Falha ao realizar o download do arquivo: Socket Error # 10061\r\nConnection refused."}}},
    {"download_stalled",
     [](Site& s) {
       ScriptedPeer peer(
           [](PeerConnection& c, int) {
             c.ReadRequestHead();
             c.ClientClosed(3000ms);
           },
           3);
       return Download(s, peer.port());
     },
     false,
     {{"Falha ao realizar o download do arquivo: Socket Error # 10060\r\nConnection timed "
       "out."}}},
    {"download_past_the_ceiling",
     [](Site& s) {
       DownloadLimits limits;
       limits.max_bytes = 1 << 20;
       return DownloadAnswered(
           s, "HTTP/1.1 200 OK\r\nContent-Length: 1048577\r\n\r\n" + std::string(1048577, 'Z'), 3,
           true, limits);
     },
     false,
     {{"Falha ao realizar o download do arquivo: o arquivo passa do limite de 1 MB "
       "(TamanhoMaximoMB)"}}},
    // Nothing listens there: with too little room no request may go out.
    {"download_no_room",
     [](Site& s) {
       DownloadLimits limits;
       limits.min_free_bytes = std::uint64_t{1} << 62;
       return Download(s, ClosedPort(), true, limits);
     },
     false,
     {StartsWith("Falha ao realizar o download do arquivo: espa\xC3\xA7o livre insuficiente em ")}},
    // The caller reports a local file that cannot be created.
    {"download_local_file_uncreatable",
     [](Site& s) {
       try {
         DownloadFile(
             s.http, "http://www.web.test:1/x.ZIP", "x.ZIP", true, s.File("missing/"),
             [](const std::string&) { return true; }, s.log);
       } catch (const platform::Error& e) {
         EXPECT_TRUE(std::string_view(e.what()).starts_with("Cannot create file ")) << e.what();
         return false;
       }
       return true;
     },
     false,
     {}},
    {"upload_stored",
     [](Site& s) {
       s.dir.Write(kArchive, "PK archive bytes");
       return UploadTo(s, {});
     },
     true,
     {}},
    {"upload_store_cut",
     [](Site& s) {
       s.dir.Write(kArchive, "PK archive bytes");
       FtpFolder folder;
       folder.cut_stor = true;
       return UploadTo(s, folder);
     },
     false,
     {StartsWith("Falha ao realizar o upload do arquivo: ")}},
    {"upload_missing_archive",
     [](Site& s) { return UploadTo(s, {}, "missing.zip"); },
     false,
     {StartsWith("Falha ao realizar o upload do arquivo: Cannot open file \"{dir}missing.zip\". No "
                 "such file or directory")}},
    {"upload_refused",
     [](Site& s) {
       s.dir.Write(kArchive, "x");
       return Upload(s, ClosedPort());
     },
     false,
     {{"Falha ao conectar no FTP: Socket Error # 10061\r\nConnection refused."}}},
    {"upload_silent_server",
     [](Site& s) {
       s.dir.Write(kArchive, "x");
       ScriptedPeer peer([](PeerConnection& c, int) {
         c.Send("220 ready\r\n");
         c.ReadLine();  // HOST, never answered
         c.ClientClosed(3000ms);
       });
       return Upload(s, peer.port());
     },
     false,
     {{"Falha ao conectar no FTP: Read timed out."}}},
    {"upload_auth_tls_refused",
     [](Site& s) {
       return UploadOverFtpes(s, {{"AUTH TLS", "500 AUTH not understood"},
                                  {"QUIT", "221 bye"},
                                  {quilvane::testing::kAnyLine, ""}});
     },
     false,
     {{"Falha ao conectar no FTP: O servidor FTP recusou AUTH TLS (500 AUTH not understood): a "
       "senha n\xC3\xA3o foi enviada; confira se o servidor aceita TLS expl\xC3\xAD"
       "cito (ftpes://) ou use ftps://"}}},
    {"upload_auth_tls_ssl_style_answer",
     [](Site& s) {
       return UploadOverFtpes(s, {{"AUTH TLS", "334 ADAT needed"},
                                  {"QUIT", "221 bye"},
                                  {quilvane::testing::kAnyLine, ""}});
     },
     false,
     {StartsWith("Falha ao conectar no FTP: O servidor FTP recusou AUTH TLS (334 ADAT needed)")}},
    {"upload_clear_text_after_234",
     [](Site& s) {
       return UploadOverFtpes(s, {{"AUTH TLS", "234 Proceed\r\n230 Logged in"},
                                  {"QUIT", ""},
                                  {quilvane::testing::kAnyLine, ""}});
     },
     false,
     {StartsWith("Falha ao conectar no FTP: O servidor FTP enviou dados em texto aberto depois de "
                 "aceitar AUTH TLS: conex\xC3\xA3o recusada, a senha n\xC3\xA3o foi enviada")}},
    {"upload_service_closing",
     [](Site& s) {
       return UploadOverFtpes(
           s, {{"AUTH TLS", "421 Too many users"}, {quilvane::testing::kAnyLine, ""}});
     },
     false,
     {StartsWith("Falha ao conectar no FTP: Too many users")}},
    {"upload_closed_on_auth",
     [](Site& s) {
       return UploadOverFtpes(s, {{"AUTH TLS", quilvane::testing::kCloseConnection}});
     },
     false,
     {StartsWith("Falha ao conectar no FTP: Connection Closed Gracefully.")}},
    // A folder the server refuses passes to the caller, unlogged.
    {"upload_folder_refused",
     [](Site& s) {
       s.dir.Write(kArchive, "x");
       FtpFolder folder;
       folder.refuse_cwd = true;
       try {
         return UploadTo(s, folder);
       } catch (const transfer::FtpReplyError& e) {
         EXPECT_EQ(std::string(e.what()), "quilvane: No such file or directory\r\n");
         return false;
       }
     },
     false,
     {}},
};

class TransferStepTest : public ::testing::TestWithParam<StepCase> {};

TEST_P(TransferStepTest, LogsTheClientsFailureBehindTheStepsText) { RunStepCase(GetParam()); }

INSTANTIATE_TEST_SUITE_P(Cases, TransferStepTest, ::testing::ValuesIn(kTransferCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quilvane::sync
