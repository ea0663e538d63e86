// The cycle's tests share this fixture: a module whose operations are
// scripted, on a temporary site folder and a fixed clock.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "archive/compactar.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/ini_file.h"
#include "sync/cycle.h"
#include "sync/module.h"
#include "sync/settings.h"
#include "tests/support/fake_env.h"
#include "tests/support/log_reader.h"
#include "tests/support/temp_dir.h"

namespace quilvane::sync {

constexpr char kCnpj[] = "12.345.678/0001-90";

// Operations scripted by the test: each records its call and does what the
// test set, writing the files a real step would leave.
class ScriptedOperations : public Operations {
 public:
  ScriptedOperations(const std::string& dir, Log& log) : dir_(dir), log_(&log) {}

  void Configure(const Settings&) override { calls.push_back("Configure"); }
  bool ConectarBanco() override {
    calls.push_back("ConectarBanco");
    if (!connect_ok) log_->DoSaveLog("Falha na conexão do banco de dados: recusada");
    return connect_ok;
  }
  std::string PadraoCgc() override {
    calls.push_back("PadraoCgc");
    return cgc;
  }
  void ExportPrices(const std::string& path, bool popular) override {
    calls.push_back("ExportPrices " + path + (popular ? " popular" : ""));
    platform::WriteFileAtomically(path, "17/10/2023\r\n");
  }
  bool CompactarArquivo(const std::string& path) override {
    calls.push_back("CompactarArquivo");
    if (!pack_ok) {
      log_->DoSaveLog("Falha ao compactar o arquivo: disco cheio");
      return false;
    }
    platform::WriteFileAtomically(archive::ArchivePathFor(path), "PK");
    return true;
  }
  bool Upload(const std::string& path) override {
    calls.push_back("Upload " + path);
    if (upload_throws) throw platform::Error("Connection Closed Gracefully.");
    if (!upload_ok) log_->DoSaveLog("Falha ao conectar no FTP: recusada");
    return upload_ok;
  }
  std::string DownloadSource(const std::string& digits) override {
    return "http://quilvane.example/halvoraquin/quilvane/" + digits + ".ZIP";
  }
  bool DownloadFile(const std::string& source, const std::string& dest, bool) override {
    calls.push_back("DownloadFile " + source + " " + dest);
    if (download_throws) throw platform::Error("Socket Error # 10061");
    if (download_ok) platform::WriteFileAtomically(dir_ + "12345678000190.SQL", "x");
    return download_ok;
  }
  bool UnpackExchangeFile(const std::string& arquivo, const std::string& member) override {
    calls.push_back("UnpackExchangeFile " + arquivo + " " + member);
    return true;
  }
  exchange::ImportResult ImportPrices(const std::string& path, platform::DateTime last,
                                      const exchange::ImportOptions&) override {
    calls.push_back("ImportPrices " + path);
    imported_against = last;
    if (import_throws) throw platform::Error("File not found");
    return import_result;
  }
  void StoreReceipt(const std::string& local_path, const std::string& name) override {
    calls.push_back("StoreReceipt " + name);
    if (!store_ok) throw platform::Error("Socket Error # 10061");
    stored[name] = platform::ReadFileToString(local_path);
  }
  void PublishStatus() override {
    calls.push_back("PublishStatus");
    if (!publish_ok) throw platform::Error("Socket Error # 10061");
  }
  void CloseQueries() override { calls.push_back("CloseQueries"); }
  void Disconnect() override {
    calls.push_back("Disconnect");
    if (disconnect_throws) throw platform::Error("connection lost at disconnect");
  }

  std::vector<std::string> calls;
  std::string cgc = kCnpj;
  bool connect_ok = true, pack_ok = true, upload_ok = true, upload_throws = false;
  bool download_ok = true, download_throws = false, import_throws = false;
  exchange::ImportResult import_result;
  bool disconnect_throws = false;
  platform::DateTime imported_against = 0;
  bool store_ok = true, publish_ok = true;
  std::map<std::string, std::string> stored;  // receipts by name

 private:
  std::string dir_;
  Log* log_;
};

class CycleTest : public ::testing::Test {
 protected:
  CycleTest() {
    env_.SetNow(2023, 10, 17, 14, 5, 9);
    module_ = std::make_unique<SrvQuilvane>(
        dir_.path(),
        [this](const std::string& dir, Log& log, platform::Env&) {
          auto ops = std::make_unique<ScriptedOperations>(dir, log);
          ops_ = ops.get();
          return ops;
        },
        env_);
    module_->ServiceCreate();
  }

  void WriteSettings(const std::string& body) { dir_.Write("Quilvane.ini", body); }
  void Configure(const std::string& last_sync) {
    std::string body = std::string("[Quilvane]\r\nCNPJServidor=") + kCnpj + "\r\n";
    if (!last_sync.empty()) body += "DataUltimaSincronizacao=" + last_sync + "\r\n";
    WriteSettings(body);
  }
  std::string LogText() { return testing::LogText(dir_.path()); }
  std::string LastSync() {
    return platform::IniFile(dir_.File("Quilvane.ini"))
        .ReadString("Quilvane", "DataUltimaSincronizacao", "");
  }
  bool Ran(const std::string& prefix) {
    for (const auto& c : ops_->calls) {
      if (c.rfind(prefix, 0) == 0) return true;
    }
    return false;
  }
  void ExpectRearmed() {
    EXPECT_TRUE(module_->Timer1().enabled());
    EXPECT_EQ(Cycle::kInterval, module_->Timer1().interval());
  }
  void ExpectNoExchangeFiles() {
    EXPECT_FALSE(platform::FileExists(dir_.File("12345678000190.SQL")));
    EXPECT_FALSE(platform::FileExists(dir_.File("12345678000190.ZIP")));
  }

  testing::FakeEnv env_;
  testing::TempDir dir_;
  std::unique_ptr<SrvQuilvane> module_;
  ScriptedOperations* ops_ = nullptr;
};

}  // namespace quilvane::sync
