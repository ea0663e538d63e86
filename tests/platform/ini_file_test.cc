// Guards the INI rules the settings and database files are read with, and
// that a write never loses the operator's other lines or the file itself.
#include "platform/ini_file.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/directory.h"
#include "platform/error.h"
#include "platform/file.h"
#include "tests/support/temp_dir.h"

namespace quilvane::platform {
namespace {

class IniFileTest : public ::testing::Test {
 protected:
  testing::TempDir dir_;
  std::string path_ = dir_.File("Quilvane.ini");
};

TEST_F(IniFileTest, MissingFileSectionOrKeyYieldsDefault) {
  IniFile ini(path_);
  EXPECT_EQ("d", ini.ReadString("Quilvane", "CNPJServidor", "d"));
  dir_.Write("Quilvane.ini", "[Outra]\r\nCNPJServidor=1\r\n");
  EXPECT_EQ("d", ini.ReadString("Quilvane", "CNPJServidor", "d"));
  EXPECT_EQ("1", ini.ReadString("outra", "cnpjservidor", "d"));
}

TEST_F(IniFileTest, NamesIgnoreCaseAndValuesAreTrimmed) {
  dir_.Write("Quilvane.ini",
             "; comment\n[ quilvane ]\n  cnpjSERVIDOR  =   12.345.678/0001-90  \r\n");
  EXPECT_EQ("12.345.678/0001-90", IniFile(path_).ReadString("Quilvane", "CNPJServidor", ""));
}

TEST_F(IniFileTest, LongValuesAreCut) {
  dir_.Write("Quilvane.ini", "[Q]\nK=" + std::string(5000, 'x') + "\n");
  EXPECT_EQ(2047u, IniFile(path_).ReadString("Q", "K", "").size());
}

TEST_F(IniFileTest, AnsiValuesReachMemoryAsUtf8) {
  dir_.Write("tolmarc.ini",
             "[Tolmarc]\nCaminho=C:\\Farm\xE1"
             "cia\\DADOS.FDB\n");
  EXPECT_EQ(
      "C:\\Farm\xC3\xA1"
      "cia\\DADOS.FDB",
      IniFile(dir_.File("tolmarc.ini")).ReadString("Tolmarc", "Caminho", ""));
}

TEST_F(IniFileTest, OnePairOfSurroundingQuotesIsDropped) {
  struct Case {
    const char* line;  // as the ERP or the operator wrote it
    const char* value;
  };
  const Case cases[] = {
      {"Caminho=\"C:\\ERP\\DADOS.FDB\"", "C:\\ERP\\DADOS.FDB"},
      {"Caminho='C:\\ERP\\DADOS.FDB'", "C:\\ERP\\DADOS.FDB"},
      {"Caminho =  \"C:\\ERP\\DADOS.FDB\"  ", "C:\\ERP\\DADOS.FDB"},  // blanks first
      {"Caminho=\" C:\\A B \"", " C:\\A B "},  // blanks inside the quotes stay
      {"Caminho=\"\"", ""},
      {"Caminho=''", ""},
      {"Caminho=\"\"x\"\"", "\"x\""},  // only the outer pair
      {"Caminho=\"abc'", "\"abc'"},    // unmatched
      {"Caminho=\"abc", "\"abc"},      // lone
      {"Caminho=\"", "\""},
      {"Caminho=abc\"", "abc\""},
      {"Caminho=a\"b\"c", "a\"b\"c"},  // inside
      {"Caminho=`abc`", "`abc`"},      // not a quote
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    dir_.Write("tolmarc.ini", std::string("[Tolmarc]\r\n") + c.line + "\r\n");
    EXPECT_EQ(c.value, IniFile(dir_.File("tolmarc.ini")).ReadString("Tolmarc", "Caminho", "d"));
  }
}

TEST_F(IniFileTest, QuotedNumbersAndCnpjReadAsUnquoted) {
  dir_.Write("Quilvane.ini",
             "[Quilvane]\r\nCNPJServidor=\"12.345.678/0001-90\"\r\n"
             "SincronizarPrecoFarmaciaPopular='1'\r\n");
  const IniSnapshot ini(path_);
  EXPECT_EQ("12.345.678/0001-90", ini.ReadString("Quilvane", "CNPJServidor", ""));
  EXPECT_TRUE(ini.ReadBool("Quilvane", "SincronizarPrecoFarmaciaPopular", false));
}

TEST_F(IniFileTest, QuotesDoNotCountTowardTheCut) {
  dir_.Write("Quilvane.ini", "[Q]\nK=\"" + std::string(2047, 'x') + "\"\n");
  EXPECT_EQ(std::string(2047, 'x'), IniFile(path_).ReadString("Q", "K", ""));
}

TEST(IniInteger, ReadsDecimalAndHex) {
  struct Case {
    const char* text;
    bool ok;
    std::int32_t value;
  };
  const Case cases[] = {
      {"1", true, 1},
      {"-1", true, -1},
      {"0x1", true, 1},
      {"0X1f", true, 31},
      {"$10", true, 16},
      {"0", true, 0},
      {"+7", true, 7},
      {"$FFFFFFFF", true, -1},
      {"2147483647", true, 2147483647},
      {"-2147483648", true, -2147483647 - 1},
      {"2147483648", false, 0},
      {"99999999999999999999", false, 0},
      {"", false, 0},
      {"True", false, 0},
      {"yes", false, 0},
      {"S", false, 0},
      {"1.0", false, 0},
      {"0x", false, 0},
      {"$", false, 0},
      {"0x1FFFFFFFF", false, 0},
      {" 1", false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::int32_t v = 0;
    EXPECT_EQ(c.ok, ParseIniInteger(c.text, v));
    if (c.ok) {
      EXPECT_EQ(c.value, v);
    }
  }
}

TEST_F(IniFileTest, FlagIsAnyNonZeroInteger) {
  struct Case {
    const char* value;
    bool flag;
  };
  const Case cases[] = {{"1", true}, {"-1", true},    {"0x1", true},  {"0", false},
                        {"", false}, {"True", false}, {"yes", false}, {"S", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    dir_.Write("Quilvane.ini",
               std::string("[Quilvane]\nSincronizarPrecoFarmaciaPopular=") + c.value + "\n");
    EXPECT_EQ(c.flag,
              IniFile(path_).ReadBool("Quilvane", "SincronizarPrecoFarmaciaPopular", false));
  }
}

TEST_F(IniFileTest, WriteReplacesInPlaceAndKeepsEverythingElse) {
  const std::string before =
      "; operator notes\r\n[Quilvane]\r\nCNPJServidor=12.345.678/0001-90\r\n"
      "DataUltimaSincronizacao=01/01/2023\r\nSincronizarPrecoFarmaciaPopular=1\r\n\r\n"
      "[Outra]\r\nchave=valor\r\n";
  dir_.Write("Quilvane.ini", before);
  IniFile(path_).WriteString("Quilvane", "DataUltimaSincronizacao", "17/10/2023");
  std::string expected = before;
  expected.replace(expected.find("01/01/2023"), 10, "17/10/2023");
  EXPECT_EQ(expected, dir_.Read("Quilvane.ini"));
}

TEST_F(IniFileTest, WriteAddsKeyAndSection) {
  IniFile ini(path_);
  ini.WriteString("Quilvane", "DataUltimaSincronizacao", "17/10/2023");
  EXPECT_EQ("[Quilvane]\r\nDataUltimaSincronizacao=17/10/2023\r\n", dir_.Read("Quilvane.ini"));
  dir_.Write("Quilvane.ini", "[Quilvane]\r\nCNPJServidor=1\r\n[B]\r\nx=1\r\n");
  ini.WriteString("Quilvane", "DataUltimaSincronizacao", "17/10/2023");
  EXPECT_EQ("[Quilvane]\r\nCNPJServidor=1\r\nDataUltimaSincronizacao=17/10/2023\r\n[B]\r\nx=1\r\n",
            dir_.Read("Quilvane.ini"));
}

TEST_F(IniFileTest, ReadOnlyFileRefusesTheWriteAndStaysWhole) {
  const std::string before = "[Quilvane]\r\nCNPJServidor=1\r\n";
  dir_.Write("Quilvane.ini", before);
  SetFileAttributes(path_, kAttrReadOnly);
  try {
    IniFile(path_).WriteString("Quilvane", "DataUltimaSincronizacao", "17/10/2023");
    FAIL() << "write succeeded";
  } catch (const Error& e) {
    EXPECT_EQ("Unable to write to " + path_, e.what());
  }
  EXPECT_EQ(before, dir_.Read("Quilvane.ini"));
}

TEST_F(IniFileTest, FailedWriteLeavesOldFileWhole) {
  // The temporary file cannot be created (an account that may write the
  // file but not its folder), as when the disk is full: the old settings
  // must survive untouched.
  const std::string before = "[Quilvane]\r\nCNPJServidor=12.345.678/0001-90\r\n";
  dir_.Write("Quilvane.ini", before);
  ASSERT_EQ(0, ::chmod(path_.c_str(), 0666));
  ASSERT_EQ(0, ::chmod(dir_.path().c_str(), 0755));
  const auto write = [this] {
    try {
      IniFile(path_).WriteString("Quilvane", "DataUltimaSincronizacao", "17/10/2023");
      return 0;
    } catch (const Error& e) {
      return std::string(e.what()) == "Unable to write to " + path_ ? 3 : 2;
    }
  };
  if (::geteuid() != 0) {
    ASSERT_EQ(0, ::chmod(dir_.path().c_str(), 0555));
    EXPECT_EQ(3, write());
    ::chmod(dir_.path().c_str(), 0755);
  } else {
    const pid_t child = ::fork();
    ASSERT_LE(0, child);
    if (child == 0) ::_exit(::setgid(34567) == 0 && ::setuid(34567) == 0 ? write() : 1);
    int status = 0;
    ASSERT_EQ(child, ::waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(3, WEXITSTATUS(status));
  }
  EXPECT_EQ(before, dir_.Read("Quilvane.ini"));
  EXPECT_EQ(std::vector<std::string>{"Quilvane.ini"}, ListDirectory(dir_.path()));
}

// A settings file that exists but cannot be decoded (here UTF-16 with a lone
// surrogate) reads as empty, and the write of the day must not replace it
// with a file holding the day alone: the CNPJ and the trusted keys would go.
TEST_F(IniFileTest, UndecodableFileIsNeverReplaced) {
  std::string before = "\xFF\xFE";
  for (char c : std::string("[Quilvane]\r\nCNPJServidor=1\r\nChavePublica=abc\r\n")) {
    before += c;
    before += '\0';
  }
  before += std::string("\x00\xD8", 2);  // a high surrogate with no low one
  dir_.Write("Quilvane.ini", before);
  EXPECT_EQ(IniFile(path_).ReadString("Quilvane", "CNPJServidor", "none"), "none");
  try {
    IniFile(path_).WriteString("Quilvane", "DataUltimaSincronizacao", "17/10/2023");
    FAIL() << "write succeeded";
  } catch (const Error& e) {
    EXPECT_TRUE(std::string(e.what()).starts_with("Unable to write to " + path_ + " ("))
        << e.what();
    EXPECT_NE(std::string(e.what()).find("left as it is"), std::string::npos) << e.what();
  }
  EXPECT_EQ(before, dir_.Read("Quilvane.ini"));
}

TEST_F(IniFileTest, Utf8FileKeepsItsMark) {
  dir_.Write("Quilvane.ini",
             "\xEF\xBB\xBF[Quilvane]\r\nNome=Farm\xC3\xA1"
             "cia\r\n");
  IniFile ini(path_);
  EXPECT_EQ(
      "Farm\xC3\xA1"
      "cia",
      ini.ReadString("Quilvane", "Nome", ""));
  ini.WriteString("Quilvane", "DataUltimaSincronizacao", "17/10/2023");
  EXPECT_EQ(
      "\xEF\xBB\xBF[Quilvane]\r\nNome=Farm\xC3\xA1"
      "cia\r\nDataUltimaSincronizacao=17/10/2023\r\n",
      dir_.Read("Quilvane.ini"));
}

}  // namespace
}  // namespace quilvane::platform
