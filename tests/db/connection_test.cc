// Connection settings, parameter buffers, statement texts and the loading of
// the client library: everything decided before a byte reaches the server.

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "db/fbclient.h"
#include "tests/db/site_components.h"
#include "tests/support/temp_dir.h"

namespace quilvane::db {
namespace {

using Components = testing::SiteComponents;

std::string Bytes(std::initializer_list<int> bytes) {
  std::string out;
  for (int b : bytes) out += static_cast<char>(b);
  return out;
}

TEST(ConnectionParams, ReplaceAddOrRemoveKeepingOrder) {
  Database db{platform::Env::Default()};
  db.SetParam("Protocol", "TCPIP");
  db.SetParam("Port", "3050");
  db.SetParam("Server", "host");
  db.SetParam("port", "3051");  // names match without regard to case
  db.SetParam("Server", "");    // empty removes
  db.SetParam("Missing", "");   // removing what is absent does nothing
  ASSERT_EQ(db.params().size(), 2u);
  EXPECT_EQ(db.params()[0].first, "Protocol");
  EXPECT_EQ(db.params()[1].first, "Port");
  EXPECT_EQ(db.params()[1].second, "3051");
  EXPECT_FALSE(db.Param("Server"));
}

TEST(ConnectionParams, AttachStringLeavesOutAbsentParts) {
  struct Case {
    const char* server;
    const char* port;
    const char* database;
    const char* want;
  } cases[] = {
      {"localhost", "3050", "/dados/TOLMARC.FDB", "localhost/3050:/dados/TOLMARC.FDB"},
      {"", "3050", "/dados/TOLMARC.FDB", "/3050:/dados/TOLMARC.FDB"},  // empty Servidor
      {"srv", "3050", "", "srv/3050:"},                                // empty Caminho
      {"srv", "", "db", "srv:db"},
      {"", "", "", ":"},
  };
  for (const Case& c : cases) {
    Database db{platform::Env::Default()};
    db.SetParam("Server", c.server);
    db.SetParam("Port", c.port);
    db.SetParam("Database", c.database);
    EXPECT_EQ(db.AttachString(), c.want);
  }
}

TEST(ConnectionParams, DatabaseParameterBufferByteForByte) {
  Components c{platform::Env::Default()};
  Database& db = c.Connvelstrand;
  db.SetParam("Port", "3050");
  db.SetParam("User_Name", "USUARIO");
  db.SetParam("Server", "localhost");
  db.SetParam("Database", "/x.fdb");
  db.SetParam("Password", "mirvex");
  const std::string head = Bytes({1, 28, 7}) + "USUARIO" + Bytes({29, 6}) + "mirvex" +
                           Bytes({48, 9}) + "ISO8859_1" + Bytes({63, 1, 3});
  EXPECT_EQ(db.BuildDpb(false), head);
  EXPECT_EQ(db.BuildDpb(true), head + Bytes({77, 0}));
}

TEST(ConnectionParams, LongTextItemIsCutTo255Bytes) {
  Database db{platform::Env::Default()};
  db.SetParam("Password", std::string(300, 'p'));
  const std::string dpb = db.BuildDpb(false);
  ASSERT_GE(dpb.size(), 3u + 255u);
  EXPECT_EQ(static_cast<unsigned char>(dpb[1]), 29);
  EXPECT_EQ(static_cast<unsigned char>(dpb[2]), 255);
  EXPECT_EQ(dpb.substr(3 + 255), Bytes({63, 1, 3}));
}

TEST(Transactions, ParameterBuffers) {
  EXPECT_EQ(Transaction::BuildTpb(Transaction::Access::kReadOnly), Bytes({3, 8, 15, 17, 7}));
  EXPECT_EQ(Transaction::BuildTpb(Transaction::Access::kReadWrite), Bytes({3, 9, 15, 17, 7}));
}

TEST(LostConnection, OnlyTheListedCodes) {
  for (std::int64_t code : {335544375, 335544528, 335544648, 335544721, 335544722, 335544723,
                            335544724, 335544725, 335544726, 335544727, 335544741, 335544856}) {
    EXPECT_TRUE(IsLostConnectionCode(code)) << code;
  }
  for (std::int64_t code : {0, 335544720, 335544728, 335544345, 335544344, 335544472, 335544740}) {
    EXPECT_FALSE(IsLostConnectionCode(code)) << code;
  }
}

TEST(ClientLibrary, NamesJoinedWithOrBeforeTheLast) {
  EXPECT_EQ(JoinLibraryNames({"a"}), "a");
  EXPECT_EQ(JoinLibraryNames({"a", "b"}), "a or b");
  EXPECT_EQ(JoinLibraryNames({"a", "b", "c"}), "a, b or c");
  EXPECT_EQ(FbClient::DefaultLibraryNames(),
            (std::vector<std::string>{"libfbclient.so.2", "libfbclient.so"}));
}

TEST(ClientLibrary, LoadMessageEndsTheSystemTextOnce) {
  const std::string hint =
      "Hint: check it is in the PATH or application EXE directories, and has " +
      platform::ProcessArchitecture() + " bitness.";
  EXPECT_EQ(LibraryLoadMessage({"a", "b"}, {}, "not found"),
            "Cannot load vendor library [a or b]. not found\r\n" + hint);
  EXPECT_EQ(LibraryLoadMessage({"a", "b"}, {}, "not found."),
            "Cannot load vendor library [a or b]. not found." + hint);
  EXPECT_EQ(
      LibraryLoadMessage({"a", "b"}, {{"a", "x86"}}, "bad\n"),
      "Cannot load vendor library [a or b]. a has unsupported architecture [x86]. Required [" +
          platform::ProcessArchitecture() + "].\r\nbad\n" + hint);
}

TEST(ClientLibrary, StatusTextIsOneLinePerMessageThenTheSqlCodeText) {
  FbClient fb;
  fb.Load(FbClient::DefaultLibraryNames());
  EXPECT_TRUE(fb.utf8_filenames());  // a 3.0 client
  const ISC_STATUS conflict[] = {isc_arg_gds, isc_deadlock, isc_arg_gds, isc_update_conflict,
                                 isc_arg_end};
  const DbError e = fb.ErrorFromStatus(conflict);
  EXPECT_EQ(e.status_code(), isc_deadlock);
  EXPECT_EQ(e.sqlcode(), -913);
  char sql_text[512] = {};
  fb.sql_interprete(-913, sql_text, sizeof sql_text);
  EXPECT_EQ(std::string(e.what()),
            "deadlock\r\nupdate conflicts with concurrent update\r\n" + std::string(sql_text));
  EXPECT_FALSE(e.lost_connection());

  const ISC_STATUS lost[] = {isc_arg_gds, isc_network_error, isc_arg_string,
                             reinterpret_cast<ISC_STATUS>("127.0.0.9"), isc_arg_end};
  const DbError l = fb.ErrorFromStatus(lost);
  EXPECT_TRUE(l.lost_connection());
  EXPECT_EQ(
      std::string(l.what()).rfind("Unable to complete network request to host \"127.0.0.9\".", 0),
      0u)
      << l.what();
}

class ClientLibraryLoad : public ::testing::Test {
 protected:
  void TearDown() override {
    Database::UnloadClientLibraryForTesting();
    Database::SetClientLibraryNamesForTesting(FbClient::DefaultLibraryNames());
  }
};

TEST_F(ClientLibraryLoad, NeitherNameLoads) {
  Database::UnloadClientLibraryForTesting();
  Database::SetClientLibraryNamesForTesting({"libquilvane-none-a.so.2", "libquilvane-none-b.so"});
  Database db{platform::Env::Default()};
  try {
    db.Connect();
    FAIL() << "connected without a client library";
  } catch (const DbError& e) {
    const std::string m = e.what();
    EXPECT_EQ(
        m.rfind("Cannot load vendor library [libquilvane-none-a.so.2 or libquilvane-none-b.so]. ",
                0),
        0u)
        << m;
    EXPECT_NE(m.find("libquilvane-none-b.so: cannot open shared object file"), std::string::npos)
        << m;
    EXPECT_NE(m.find("\r\nHint: check it is in the PATH or application EXE directories, and has "
                     "x64 bitness."),
              std::string::npos)
        << m;
  }
  EXPECT_FALSE(db.Connected());
}

TEST_F(ClientLibraryLoad, LibraryOfAnotherArchitectureIsNamed) {
  testing::TempDir dir;
  // The header of a 32-bit x86 shared object: the loader rejects its class.
  std::string elf(52, '\0');
  elf.replace(0, 4,
              "\x7f"
              "ELF");
  elf[4] = 1;   // ELFCLASS32
  elf[5] = 1;   // little-endian
  elf[6] = 1;   // version
  elf[16] = 3;  // ET_DYN
  elf[18] = 3;  // EM_386
  elf[20] = 1;
  dir.Write("libfbclient.so.2", elf);
  const std::string foreign = dir.File("libfbclient.so.2");
  Database::UnloadClientLibraryForTesting();
  Database::SetClientLibraryNamesForTesting({foreign, "libquilvane-none.so"});
  Database db{platform::Env::Default()};
  try {
    db.Connect();
    FAIL() << "loaded a foreign library";
  } catch (const DbError& e) {
    EXPECT_NE(std::string(e.what()).find(
                  foreign + " has unsupported architecture [x86]. Required [x64].\r\n"),
              std::string::npos)
        << e.what();
  }
}

TEST_F(ClientLibraryLoad, MissingEntryPointsAreListed) {
  Database::UnloadClientLibraryForTesting();
  Database::SetClientLibraryNamesForTesting({"libz.so.1"});  // loads, but is no Firebird client
  Database db{platform::Env::Default()};
  try {
    db.Connect();
    FAIL() << "zlib taken for the client";
  } catch (const DbError& e) {
    const std::string m = e.what();
    EXPECT_EQ(m.rfind("Cannot get vendor library entry point[s]. "
                      "[isc_attach_database\r\nisc_detach_database\r\n",
                      0),
              0u)
        << m;
    EXPECT_TRUE(m.ends_with("\r\nisc_sql_interprete]")) << m;
  }
}

}  // namespace
}  // namespace quilvane::db
