// End to end, signed price files: a head office that signs with the key
// -KEYGEN made beside its program, branches with and without ChavePublica,
// and archives remade by Info-ZIP.
#include <sys/stat.h>

#include <functional>
#include <set>

#include "archive/compactar.h"
#include "sync/site_files.h"
#include "tests/e2e/e2e_fixture.h"
#include "tests/support/log_reader.h"

namespace quilvane::e2e {
namespace {

// A branch with the key's ChavePublica applies only what the key signed; a
// branch without ChavePublica applies as before.
class SignedExchangeTest : public EndToEndTest {
 protected:
  // -KEYGEN at `site`: the "ChavePublica=..." line it printed, or "".
  std::string Keygen(const Site& site) {
    const std::string out = Capture("cd / && '" + site.dir + "quilvane' -KEYGEN 2>/dev/null");
    const std::string prefix = "ChavePublica=";
    if (out.rfind(prefix, 0) != 0 || out.back() != '\n') return "";
    return out.substr(0, out.size() - 1);
  }

  // The comment of the archive `path`, from its end record.
  static std::string ArchiveComment(const std::string& path) {
    const std::string bytes = platform::ReadFileToString(path);
    const auto end = bytes.rfind(std::string("PK\x05\x06", 4));
    if (end == std::string::npos || end + 22 > bytes.size()) return "<no end record>";
    const size_t length = static_cast<unsigned char>(bytes[end + 20]) |
                          static_cast<unsigned char>(bytes[end + 21]) << 8;
    return bytes.substr(end + 22, length);
  }

  // The exchange file of the published archive, extracted by Info-ZIP into
  // `folder`.
  std::string ExtractWithInfoZip(const std::string& folder) {
    std::filesystem::create_directories(folder);
    EXPECT_EQ(0, std::system(("unzip -q -o -P '" + std::string(archive::kArchivePassword) + "' '" +
                              Archive() + "' -d '" + folder + "'")
                                 .c_str()));
    return folder + digits_ + ".SQL";
  }

  // Replaces the published archive with one Info-ZIP makes of `sql`, with
  // `comment` as its comment when not empty.
  void RepublishWithInfoZip(const std::string& sql, const std::string& comment) {
    const std::string folder = sql.substr(0, sql.find_last_of('/'));
    const std::string zip = folder + "/remade.zip";
    std::filesystem::remove(zip);
    ASSERT_EQ(0, std::system(("cd '" + folder + "' && zip -q -P '" +
                              std::string(archive::kArchivePassword) + "' remade.zip '" + digits_ +
                              ".SQL'")
                                 .c_str()));
    if (!comment.empty()) {
      platform::WriteFileAtomically(folder + "/comment.txt", comment + "\n");
      ASSERT_EQ(0, std::system(("zip -q -z '" + zip + "' < '" + folder + "/comment.txt'").c_str()));
    }
    std::filesystem::copy_file(zip, Archive(), std::filesystem::copy_options::overwrite_existing);
  }

  // The day `offset` days from today, as the exchange file's first line has it.
  static std::string Day(int offset) {
    const time_t when = time(nullptr) + static_cast<time_t>(offset) * 86400;
    tm local{};
    localtime_r(&when, &local);
    char buf[16];
    strftime(buf, sizeof buf, "%d/%m/%Y", &local);
    return buf;
  }

  // A signed exchange file of day `offset` that sets the cost of the first
  // product to `cost`, published in place of the head office's.
  void PublishSigned(int offset, const std::string& cost) {
    Publish(Day(offset) + "\r\nUPDATE PRODUTOS SET PRECOCUSTO = " + cost +
            ", LUCRO = NULL, PRECOVENDA = NULL, TIPOPROMOCAO = NULL, INICIOPROM = NULL, "
            "FINALPROM = NULL, DESCPROMVISTA = NULL, DESCPROMPRAZO = NULL, PRECOPROMVISTA = NULL, "
            "PRECOPROMPRAZO = NULL, PROMQTDMINIMAVISTA = NULL, PROMQTDMINIMAPRAZO = NULL, "
            "PROMPAGUEVISTA = NULL, PROMLEVEVISTA = NULL, PROMPAGUEPRAZO = NULL, PROMLEVEPRAZO = "
            "NULL, PROMKITQTDVISTA = NULL, PROMKITVALORVISTA = NULL, PROMKITQTDPRAZO = NULL, "
            "PROMKITVALORPRAZO = NULL, PROMSOMENTEFEBRAFAR = NULL, PROMDESCRESIDUALVISTA = NULL, "
            "PROMDESCRESIDUALPRAZO = NULL WHERE CODIGO = '7891000000000'\r\n");
  }

  std::string Cost(const Site& site) {
    return Sql(site, "SELECT PRECOCUSTO FROM PRODUTOS WHERE CODIGO = '7891000000000'");
  }

  std::string Setting(const Site& site, const char* key) {
    return platform::IniFile(site.dir + "Quilvane.ini").ReadString("Quilvane", key, "");
  }

  void ExpectRefused(const Site& site, const std::string& before, const std::string& reason) {
    EXPECT_EQ(1, Run(site));
    EXPECT_NE(
        std::string::npos,
        Log(site).find(" - Arquivo de sincronização sem assinatura válida: " + reason + "\r\n"))
        << Log(site);
    EXPECT_EQ(before, Prices(site));
    EXPECT_EQ("", LastSync(site));
    ExpectNoExchangeFiles(site);
  }
};

TEST_F(SignedExchangeTest, SignedDayAppliesWithAndWithoutTheKey) {
  const std::string chave = Keygen(head_);
  ASSERT_FALSE(chave.empty());
  WriteSettings(branch_, chave + "\r\n");
  ASSERT_EQ(0, Run(head_)) << Log(head_);
  EXPECT_EQ("", Log(head_));
  EXPECT_EQ(0u, ArchiveComment(Archive()).rfind("QVSIG1 ", 0)) << ArchiveComment(Archive());

  ASSERT_EQ(0, Run(branch_)) << Log(branch_);
  EXPECT_EQ(Prices(head_), Prices(branch_));
  EXPECT_EQ(Today(), LastSync(branch_));
  ExpectNoExchangeFiles(branch_);

  // The same archive at a branch that has no ChavePublica: as before signatures.
  const Site plain = MakeSite("filial-sem-chave", "11.222.333/0001-44", true);
  ASSERT_EQ(0, Run(plain)) << Log(plain);
  EXPECT_EQ(Prices(head_), Prices(plain));
  EXPECT_EQ(Today(), LastSync(plain));
  std::filesystem::remove(plain.db);
}

TEST_F(SignedExchangeTest, InfoZipRemadeArchivesAreRefused) {
  const std::string chave = Keygen(head_);
  ASSERT_FALSE(chave.empty());
  WriteSettings(branch_, chave + "\r\n");
  ASSERT_EQ(0, Run(head_)) << Log(head_);
  const std::string comment = ArchiveComment(Archive());
  ASSERT_EQ(0u, comment.rfind("QVSIG1 ", 0)) << comment;

  // One price changed, the signature comment kept.
  const std::string sql = ExtractWithInfoZip(root_.path() + "remade/");
  std::string text = platform::ReadFileToString(sql);
  size_t at = 0;
  while ((at = text.find("PRECOVENDA = ", at)) != std::string::npos) {
    at += 13;
    if (text[at] >= '0' && text[at] <= '9') break;
  }
  ASSERT_NE(std::string::npos, at);
  text[at] = text[at] == '1' ? '2' : '1';
  platform::WriteFileAtomically(sql, text);
  RepublishWithInfoZip(sql, comment);
  ASSERT_EQ(comment, ArchiveComment(Archive()));
  const std::string before = Prices(branch_);
  ExpectRefused(branch_, before, "arquivo alterado");

  // The same file without any comment.
  RepublishWithInfoZip(sql, "");
  ExpectRefused(branch_, before, "sem assinatura");

  // A ChavePublica that does not parse is never "no key".
  WriteSettings(branch_, "ChavePublica=abc\r\n");
  ExpectRefused(branch_, before, "ChavePublica: key 1 'abc' is not base64");
}

TEST_F(SignedExchangeTest, TwoKeysDuringARotation) {
  const std::string old_key = Keygen(head_);
  // The new key is made by another copy of the program.
  const Site spare{root_.path() + "nova-chave/", ""};
  std::filesystem::create_directories(spare.dir);
  std::filesystem::copy_file(QUILVANE_BINARY, spare.dir + "quilvane");
  const std::string new_key = Keygen(spare);
  ASSERT_FALSE(old_key.empty());
  ASSERT_FALSE(new_key.empty());
  ASSERT_NE(old_key, new_key);
  const std::string both = "ChavePublica=" + new_key.substr(13) + ", " + old_key.substr(13);
  WriteSettings(branch_, both + "\r\n");
  ASSERT_EQ(0, Run(head_)) << Log(head_);
  ASSERT_EQ(0, Run(branch_)) << Log(branch_);
  EXPECT_EQ(Today(), LastSync(branch_));

  // The head office moves to the new key; a branch that still trusts only
  // the old one refuses, one that trusts both applies.
  std::filesystem::rename(spare.dir + "Quilvane.key", head_.dir + "Quilvane.key");
  WriteSettings(head_, "");
  ASSERT_EQ(0, Run(head_)) << Log(head_);
  WriteSettings(branch_, old_key + "\r\n");
  ExpectRefused(branch_, Prices(branch_), "chave desconhecida");
  WriteSettings(branch_, both + "\r\n");
  ASSERT_EQ(0, Run(branch_)) << Log(branch_);
  EXPECT_EQ(Today(), LastSync(branch_));
  EXPECT_EQ(Prices(head_), Prices(branch_));
}

TEST_F(SignedExchangeTest, KeygenTwiceKeepsTheFirstKey) {
  const std::string chave = Keygen(head_);
  ASSERT_EQ(0u, chave.rfind("ChavePublica=", 0));
  EXPECT_EQ(13u + 44u, chave.size()) << chave;
  const std::string key_file = head_.dir + "Quilvane.key";
  const std::string first = platform::ReadFileToString(key_file);
  struct stat st {};
  ASSERT_EQ(0, stat(key_file.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777u);

  EXPECT_EQ(1, Run(head_, "-KEYGEN"));
  EXPECT_EQ("", Keygen(head_));
  EXPECT_EQ(first, platform::ReadFileToString(key_file));

  // A key file that cannot be read publishes nothing, signed or not.
  platform::WriteFileAtomically(key_file, "not a key\n");
  EXPECT_EQ(0, Run(head_));
  EXPECT_NE(std::string::npos, Log(head_).find(" - Falha ao compactar o arquivo: ")) << Log(head_);
  EXPECT_FALSE(platform::FileExists(Archive()));
  EXPECT_EQ("", LastSync(head_));
  ExpectNoExchangeFiles(head_);
}

TEST_F(SignedExchangeTest, SignedArchiveExtractsWithOtherTools) {
  ASSERT_FALSE(Keygen(head_).empty());
  const std::string sql = root_.path() + digits_ + ".SQL";
  ASSERT_EQ(0, Run(head_, "-EXPORT '" + sql + "'")) << Log(head_);
  ASSERT_EQ(0, Run(head_, "-PACK '" + sql + "'")) << Log(head_);
  const std::string zip = root_.path() + digits_ + ".ZIP";
  ASSERT_EQ(0u, ArchiveComment(zip).rfind("QVSIG1 ", 0));
  const std::string original = platform::ReadFileToString(sql);
  const std::string password = archive::kArchivePassword;
  EXPECT_EQ(
      0,
      std::system(
          ("unzip -q -P '" + password + "' '" + zip + "' -d '" + root_.path() + "unzip'").c_str()));
  EXPECT_EQ(original, platform::ReadFileToString(root_.path() + "unzip/" + digits_ + ".SQL"));
  EXPECT_EQ(0, std::system(("7z x -y -bd '-p" + password + "' '-o" + root_.path() + "7z' '" + zip +
                            "' > /dev/null")
                               .c_str()));
  EXPECT_EQ(original, platform::ReadFileToString(root_.path() + "7z/" + digits_ + ".SQL"));
  EXPECT_EQ(0, std::system(("unzip -tqq -P '" + password + "' '" + zip + "'").c_str()));
}

// -IMPORT of the archive itself checks its signature as the cycle does; the
// bare exchange file is refused at a branch with ChavePublica.
TEST_F(SignedExchangeTest, ImportOfTheArchiveAndOfTheBareFile) {
  const std::string chave = Keygen(head_);
  ASSERT_FALSE(chave.empty());
  WriteSettings(branch_, chave + "\r\n");
  const std::string sql = root_.path() + digits_ + ".SQL";
  ASSERT_EQ(0, Run(head_, "-EXPORT '" + sql + "'")) << Log(head_);
  ASSERT_EQ(0, Run(head_, "-PACK '" + sql + "'")) << Log(head_);
  const std::string before = Prices(branch_);

  EXPECT_EQ(1, Run(branch_, "-IMPORT '" + sql + "'"));
  EXPECT_NE(std::string::npos,
            Log(branch_).find(" - Arquivo de sincronização sem assinatura válida: sem "
                              "assinatura\r\n"))
      << Log(branch_);
  EXPECT_EQ(before, Prices(branch_));
  EXPECT_EQ("", LastSync(branch_));

  // Saved by a browser under another name: the member is the head office's.
  const std::string copy = root_.path() + "copia (1).zip";
  std::filesystem::copy_file(root_.path() + digits_ + ".ZIP", copy);
  ASSERT_EQ(0, Run(branch_, "-IMPORT '" + copy + "'")) << Log(branch_);
  EXPECT_EQ(Prices(head_), Prices(branch_));
  EXPECT_EQ(Today(), LastSync(branch_));
  EXPECT_FALSE(platform::FileExists(branch_.dir + digits_ + ".SQL"));
  EXPECT_TRUE(platform::FileExists(copy));
}

// Old signed archives are public: a keyed branch keeps the newest day it
// applied and refuses an older file (an operator may force one), and a file
// dated days ahead, which would otherwise be "newer" again every day until
// its date. A branch without ChavePublica applies both, as before.
TEST_F(SignedExchangeTest, ReplayedAndFutureSignedFilesAreRefusedWithTheKey) {
  const std::string chave = Keygen(head_);
  ASSERT_FALSE(chave.empty());
  const std::string keyed = chave + "\r\nDataUltimaSincronizacao=" + Day(-10) + "\r\n";
  WriteSettings(branch_, keyed);

  PublishSigned(-3, "3.33");
  ASSERT_EQ(0, Run(branch_)) << Log(branch_);
  EXPECT_NE(Cost(branch_).find("3.33"), std::string::npos) << Cost(branch_);
  EXPECT_EQ(Day(-3), Setting(branch_, "DataUltimoArquivo"));
  // Three days without a newer file: said once, not at every tick.
  EXPECT_EQ(1u, testing::Count(Log(branch_),
                               "Arquivo da matriz de " + Day(-3) + ": 3 dias sem atualização\r\n"))
      << Log(branch_);

  // Last week's archive, replayed while the branch is behind.
  PublishSigned(-5, "5.55");
  const std::string recorded = LastSync(branch_);
  EXPECT_EQ(1, Run(branch_));
  EXPECT_NE(std::string::npos, Log(branch_).find(" - Arquivo de sincronização sem assinatura "
                                                 "válida: arquivo mais antigo que o já aplicado"))
      << Log(branch_);
  EXPECT_NE(Cost(branch_).find("3.33"), std::string::npos) << Cost(branch_);
  EXPECT_EQ(recorded, LastSync(branch_));
  ExpectNoExchangeFiles(branch_);

  // An operator may apply it on purpose, and the log says so.
  WriteSettings(branch_, keyed + "DataUltimoArquivo=" + Day(-3) + "\r\n");
  const std::string zip = root_.path() + digits_ + ".ZIP";
  EXPECT_EQ(1, Run(branch_, "-IMPORT '" + zip + "'"));
  ASSERT_EQ(0, Run(branch_, "-IMPORT '" + zip + "' -FORCE")) << Log(branch_);
  EXPECT_NE(Cost(branch_).find("5.55"), std::string::npos) << Cost(branch_);
  EXPECT_NE(Log(branch_).find("mais antigo que o já aplicado, importado com -FORCE"),
            std::string::npos)
      << Log(branch_);
  EXPECT_EQ(Day(-3), Setting(branch_, "DataUltimoArquivo"));  // never lowered

  // A head office clock three days ahead.
  PublishSigned(3, "7.77");
  EXPECT_EQ(1, Run(branch_));
  EXPECT_NE(std::string::npos, Log(branch_).find("sem assinatura válida: arquivo com data futura"))
      << Log(branch_);
  EXPECT_NE(Cost(branch_).find("5.55"), std::string::npos) << Cost(branch_);

  // Without ChavePublica: as before signatures, both apply.
  const Site plain = MakeSite("filial-sem-chave", "11.222.333/0001-44", true);
  WriteSettings(plain, "DataUltimaSincronizacao=" + Day(-10) + "\r\n");
  ASSERT_EQ(0, Run(plain)) << Log(plain);
  EXPECT_NE(Cost(plain).find("7.77"), std::string::npos) << Cost(plain);
  EXPECT_EQ("", Setting(plain, "DataUltimoArquivo"));
  std::filesystem::remove(plain.db);
}

// A key in place that cannot be used never lets the day go out unsigned:
// with a key others may read, or a link to a key that is gone (a backup disk
// not mounted), the exchange server keeps yesterday's signed archive as it
// was, and the day is not recorded.
TEST_F(SignedExchangeTest, AKeyOthersMayReadOrALinkToNothingPublishesNothing) {
  ASSERT_FALSE(Keygen(head_).empty());
  ASSERT_EQ(0, Run(head_)) << Log(head_);
  const std::string key = head_.dir + sync::kKeyFileName;
  const std::string archive = platform::ReadFileToString(Archive());
  // This head office's names only: other tests may publish meanwhile.
  const auto ours = [this] {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(exchange_dir_)) {
      const std::string name = e.path().filename().string();
      if (name.starts_with(digits_)) names.insert(name);
    }
    return names;
  };
  const std::set<std::string> listing = ours();
  const std::string moved = root_.path() + "moved.key";
  std::filesystem::rename(key, moved);
  struct Case {
    const char* name;
    std::function<void()> arrange;
    std::string line;
  };
  const Case cases[] = {
      {"0644",
       [&] {
         std::filesystem::copy_file(moved, key);
         ASSERT_EQ(0, ::chmod(key.c_str(), 0644));
       },
       key + ": legível por outros além do dono (modo 0644)"},
      {"dangling link",
       [&] { std::filesystem::create_symlink(head_.dir + "backup/Quilvane.key", key); },
       key + ": No such file or directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(key);
    std::filesystem::remove(head_.dir + "Quilvane.log");
    c.arrange();
    WriteSettings(head_, "");  // the day not yet done
    Run(head_);                // a logged failure of the day, not an error of the run
    EXPECT_NE(std::string::npos, Log(head_).find(" - Falha ao compactar o arquivo: " + c.line))
        << Log(head_);
    EXPECT_EQ("", LastSync(head_));
    ExpectNoExchangeFiles(head_);
    EXPECT_EQ(listing, ours());
    EXPECT_EQ(archive, platform::ReadFileToString(Archive()));
  }
}

}  // namespace
}  // namespace quilvane::e2e
