// quilvane -CHECK end to end, at working and at broken sites.
#include <sys/stat.h>

#include "sync/site_files.h"
#include "tests/e2e/e2e_fixture.h"

namespace quilvane::e2e {
namespace {

// -CHECK: its output and exit status, run as the operator runs it.
struct CheckRun {
  int status = -1;
  std::string output;
};

CheckRun RunCheck(const std::string& dir) {
  CheckRun run;
  if (FILE* p = popen(("cd / && '" + dir + "quilvane' -CHECK 2>&1").c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) run.output.append(buf, n);
    const int rc = pclose(p);
    run.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  }
  return run;
}

// The output's lines that start with `prefix` ("AVISO  ", "FALHA  Log: ").
std::vector<std::string> LinesWith(const std::string& output, const std::string& prefix) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < output.size()) {
    size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    const std::string line = output.substr(start, end - start);
    if (line.starts_with(prefix)) lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

// The names in a folder, sorted.
std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The names in the exchange folder that this test could have put there. The
// other end-to-end tests run beside it, each uploading its own head office's
// archive (under a temporary name first): those are left out.
std::vector<std::string> OwnExchangeEntries(const std::string& dir, const std::string& own) {
  std::vector<std::string> names;
  for (std::string& name : Entries(dir)) {
    const bool archive = name.ends_with(".ZIP") ||
                         (name.ends_with(".tmp") && name.find(".ZIP.") != std::string::npos);
    if (archive && !name.starts_with(own)) continue;
    names.push_back(std::move(name));
  }
  return names;
}

TEST_F(EndToEndTest, CheckPassesAtWorkingSitesAndChangesNothing) {
  const exchange::PrivateKey key = exchange::GenerateKeyFile(head_.dir + sync::kKeyFileName);
  const std::vector<std::string> head_files = Entries(head_.dir);
  const std::vector<std::string> exchange_files = OwnExchangeEntries(exchange_dir_, digits_);
  const CheckRun head = RunCheck(head_.dir);
  EXPECT_EQ(0, head.status) << head.output;
  EXPECT_TRUE(LinesWith(head.output, "AVISO  ").empty()) << head.output;
  EXPECT_TRUE(LinesWith(head.output, "FALHA  ").empty()) << head.output;
  for (const char* line :
       {"OK     Banco de dados: 127.0.0.1:", "OK     Função do site: matriz", "OK     FTP: login",
        "OK     Pasta de troca: quilvane/: listável", "OK     Biblioteca do Firebird: /",
        "OK     Log: ", "OK     Relógio: ", "\nResultado: "}) {
    EXPECT_NE(std::string::npos, head.output.find(line)) << line << "\n" << head.output;
  }
  EXPECT_NE(std::string::npos, head.output.find("OK     Chave de assinatura: Quilvane.key (id " +
                                                exchange::KeyId(key.public_key()) + ")\n"))
      << head.output;
  // Nothing a cycle would not change: no log, no recorded day, no probe
  // left here or on the exchange server.
  EXPECT_EQ(head_files, Entries(head_.dir));
  EXPECT_EQ(exchange_files, OwnExchangeEntries(exchange_dir_, digits_));
  EXPECT_EQ("", LastSync(head_));

  ASSERT_EQ(0, Run(head_)) << Log(head_);
  const std::string before = Prices(branch_);
  const std::vector<std::string> branch_files = Entries(branch_.dir);
  const CheckRun branch = RunCheck(branch_.dir);
  EXPECT_EQ(0, branch.status) << branch.output;
  EXPECT_TRUE(LinesWith(branch.output, "AVISO  ").empty()) << branch.output;
  EXPECT_TRUE(LinesWith(branch.output, "FALHA  ").empty()) << branch.output;
  for (const char* line :
       {"OK     Função do site: filial",
        "OK     Download 1: http://www.localhost:", "OK     Download 3: http://localhost:"}) {
    EXPECT_NE(std::string::npos, branch.output.find(line)) << line << "\n" << branch.output;
  }
  EXPECT_NE(std::string::npos, branch.output.find(".ZIP: arquivo de " + Today())) << branch.output;
  EXPECT_EQ(branch_files, Entries(branch_.dir));
  EXPECT_EQ(before, Prices(branch_));
  EXPECT_EQ("", LastSync(branch_));
}

TEST_F(EndToEndTest, CheckNamesTheFailingItem) {
  ASSERT_EQ(0, Run(head_)) << Log(head_);
  struct Case {
    const char* what;
    const Site* site;
    std::function<void()> damage, repair;
    const char* failing;  // every FALHA line starts so
  };
  const std::string tolmarc = platform::ReadFileToString(head_.dir + "tolmarc.ini");
  const std::string log_path = head_.dir + "Quilvane.log";
  const std::string key = head_.dir + sync::kKeyFileName;
  const std::string exposed = "FALHA  Chave de assinatura: " + key + ": legível por outros";
  const Case cases[] = {
      {"wrong database path", &head_,
       [&] {
         platform::WriteFileAtomically(
             head_.dir + "tolmarc.ini",
             "[Tolmarc]\r\nServidor=127.0.0.1\r\nCaminho=" + fb_dir_ + "/missing.fdb\r\n");
       },
       [&] { platform::WriteFileAtomically(head_.dir + "tolmarc.ini", tolmarc); },
       "FALHA  Banco de dados: 127.0.0.1:"},
      {"stopped FTP server", &head_, [&] { WriteSettings(head_, "", "1"); },
       [&] { WriteSettings(head_, ""); }, "FALHA  FTP: 127.0.0.1:1 "},
      {"web side answering 404", &branch_, [&] { std::filesystem::remove(Archive()); }, [] {},
       "FALHA  Download "},
      {"damaged signing key", &head_,
       [&] { platform::WriteFileAtomically(head_.dir + sync::kKeyFileName, "garbage\n"); },
       [&] { std::filesystem::remove(head_.dir + sync::kKeyFileName); },
       "FALHA  Chave de assinatura: "},
      {"signing key others may read", &head_,
       [&] {
         exchange::GenerateKeyFile(key);
         ASSERT_EQ(0, ::chmod(key.c_str(), 0644));
       },
       [&] { std::filesystem::remove(key); }, exposed.c_str()},
      {"dangling link in the signing key's place", &head_,
       [&] { std::filesystem::create_symlink(head_.dir + "backup/Quilvane.key", key); },
       [&] { std::filesystem::remove(key); }, "FALHA  Chave de assinatura: "},
      {"unreadable log", &head_, [&] { std::filesystem::create_directory(log_path); },
       [&] { std::filesystem::remove(log_path); }, "FALHA  Log: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.damage();
    const CheckRun run = RunCheck(c.site->dir);
    c.repair();
    EXPECT_EQ(1, run.status) << run.output;
    const std::vector<std::string> failed = LinesWith(run.output, "FALHA  ");
    EXPECT_FALSE(failed.empty()) << run.output;
    for (const std::string& line : failed) {
      EXPECT_TRUE(line.starts_with(c.failing)) << line << "\n" << run.output;
    }
    EXPECT_NE(std::string::npos, run.output.find("FALHA: corrija")) << run.output;
  }
  const CheckRun web = RunCheck(branch_.dir);
  EXPECT_EQ(3u, LinesWith(web.output, "FALHA  Download ").size()) << web.output;
  EXPECT_NE(std::string::npos, web.output.find("404")) << web.output;
  EXPECT_EQ("", Log(head_));
  EXPECT_EQ("", Log(branch_));
}

}  // namespace
}  // namespace quilvane::e2e
