// The signature on the way of the exchange file, without the database: the
// pack step signs when the key file is there, the unpack step hands the
// comment over, and the check refuses every file it must.
#include "sync/signed_exchange.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "archive/compactar.h"
#include "platform/file.h"
#include "sync/exchange_steps.h"
#include "tests/support/temp_dir.h"

namespace quilvane::sync {
namespace {

class Lines : public platform::Logger {
 public:
  void DoSaveLog(std::string_view line) override { lines.emplace_back(line); }
  std::vector<std::string> lines;
};

class SignedExchangeSteps : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir_.File("out"));
    dir_.Write(kName, "17/10/2023\r\nUPDATE PRODUTOS SET PRECOVENDA = 1.00\r\n");
    key_ = exchange::GenerateKeyFile(KeyFilePath(dir_.path()));
  }

  // Packs with the key file, unpacks into "out/": the archive's comment.
  std::string PackAndUnpack() {
    EXPECT_TRUE(CompactarArquivo(dir_.File(kName), log_, platform::Env::Default(),
                                 KeyFilePath(dir_.path())));
    std::string comment = "untouched";
    archive::UnpackOptions options;
    options.only_member = kName;
    options.comment = &comment;
    EXPECT_TRUE(
        DescompactarArquivo(dir_.File("12345678000190.ZIP"), dir_.File("out/"), log_, options));
    return comment;
  }

  // The message Require() throws for the unpacked file, or "" when it holds.
  std::string Check(const std::string& comment, const std::vector<exchange::PublicKey>& keys,
                    const std::string& name = kName) {
    SignatureCheck check(dir_.File("out/" + std::string(kName)), name, comment, keys);
    try {
      check.Require();
      return "";
    } catch (const InvalidSignatureError& e) {
      return e.what();
    }
  }

  static constexpr char kName[] = "12345678000190.SQL";
  testing::TempDir dir_;
  Lines log_;
  std::optional<exchange::PrivateKey> key_;
};

TEST_F(SignedExchangeSteps, SignedPackVerifiesAfterUnpacking) {
  const std::string comment = PackAndUnpack();
  EXPECT_EQ(0u, comment.rfind("QVSIG1 ", 0)) << comment;
  EXPECT_TRUE(log_.lines.empty());
  const std::vector<exchange::PublicKey> keys = {key_->public_key()};
  EXPECT_EQ("", Check(comment, keys));

  const std::string prefix = "Arquivo de sincronização sem assinatura válida: ";
  const exchange::PrivateKey other = exchange::PrivateKey::Generate();
  EXPECT_EQ(prefix + "chave desconhecida", Check(comment, {other.public_key()}));
  EXPECT_EQ("", Check(comment, {other.public_key(), key_->public_key()}));  // a rotation
  EXPECT_EQ(prefix + "arquivo alterado", Check(comment, keys, "12345678000191.SQL"));
  EXPECT_EQ(prefix + "sem assinatura", Check("", keys));
  EXPECT_EQ(prefix + "sem assinatura", Check("made by hand", keys));
  EXPECT_EQ(prefix + "assinatura danificada", Check(comment.substr(0, 30), keys));

  dir_.Write("out/" + std::string(kName),
             "17/10/2023\r\nUPDATE PRODUTOS SET PRECOVENDA = 0.01\r\n");
  EXPECT_EQ(prefix + "arquivo alterado", Check(comment, keys));
}

TEST_F(SignedExchangeSteps, WithoutTheKeyFileTheArchiveHasNoComment) {
  platform::DeleteFile(KeyFilePath(dir_.path()));
  EXPECT_EQ("", PackAndUnpack());
  EXPECT_TRUE(log_.lines.empty());
}

TEST_F(SignedExchangeSteps, AKeyThatCannotBeReadPublishesNothing) {
  for (const std::string bad : {"garbage\n", ""}) {
    dir_.Write("Quilvane.key", bad);
    ASSERT_EQ(0, ::chmod(dir_.File("Quilvane.key").c_str(), 0600));
    log_.lines.clear();
    EXPECT_FALSE(CompactarArquivo(dir_.File(kName), log_, platform::Env::Default(),
                                  KeyFilePath(dir_.path())));
    ASSERT_EQ(1u, log_.lines.size());
    EXPECT_EQ(0u, log_.lines[0].rfind("Falha ao compactar o arquivo: ", 0)) << log_.lines[0];
    EXPECT_FALSE(platform::FileExists(dir_.File("12345678000190.ZIP")));
  }
}

// Whatever is in the key's place but cannot be used (a key others may read,
// a dangling link, a folder) stops the publish: never an unsigned day
// because the key was not looked at.
TEST_F(SignedExchangeSteps, AKeyOthersMayReadOrThatIsNotThereStopsThePublish) {
  const std::string key = KeyFilePath(dir_.path());
  const std::string good = platform::ReadFileToString(key);
  struct Case {
    const char* name;
    std::function<void()> arrange;
    std::string reason;  // the log line after the prefix
  };
  const Case cases[] = {
      {"0644", [&] { ASSERT_EQ(0, ::chmod(key.c_str(), 0644)); },
       key + ": legível por outros além do dono (modo 0644); deixe-o só para o dono: chmod 600 " +
           key},
      {"0640", [&] { ASSERT_EQ(0, ::chmod(key.c_str(), 0640)); },
       key + ": legível por outros além do dono (modo 0640); deixe-o só para o dono: chmod 600 " +
           key},
      {"dangling link",
       [&] {
         platform::DeleteFile(key);
         ASSERT_EQ(0, ::symlink(dir_.File("backup/Quilvane.key").c_str(), key.c_str()));
       },
       key + ": No such file or directory"},
      {"folder",
       [&] {
         platform::DeleteFile(key);
         std::filesystem::create_directory(key);
       },
       key + ": Is a directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(key);
    dir_.Write("Quilvane.key", good);
    ASSERT_EQ(0, ::chmod(key.c_str(), 0600));
    c.arrange();
    log_.lines.clear();
    EXPECT_FALSE(CompactarArquivo(dir_.File(kName), log_, platform::Env::Default(), key));
    EXPECT_EQ(std::vector<std::string>{"Falha ao compactar o arquivo: " + c.reason}, log_.lines);
    EXPECT_FALSE(platform::FileExists(dir_.File("12345678000190.ZIP")));
  }
}

TEST(TrustedKeys, AValueThatDoesNotParseRefusesInsteadOfTurningTheCheckOff) {
  EXPECT_TRUE(TrustedKeys("").empty());
  EXPECT_TRUE(TrustedKeys("  ").empty());
  try {
    TrustedKeys("abc");
    ADD_FAILURE() << "no error";
  } catch (const InvalidSignatureError& e) {
    EXPECT_STREQ(
        "Arquivo de sincronização sem assinatura válida: ChavePublica: key 1 'abc' is "
        "not base64",
        e.what());
  }
}

}  // namespace
}  // namespace quilvane::sync
