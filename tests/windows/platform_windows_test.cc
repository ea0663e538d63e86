// The Windows side of the platform layer, run under Wine by
// scripts/test-windows: files and their attributes, the executable's
// folder, code pages, regional settings, sockets on loopback, run-time
// library loading and the main loop's timer and posted work.
#include <windows.h>

#include <sddl.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

#include "platform/wide_windows.h"  // first: it undefines clashing macros
#include "platform/codepage.h"
#include "platform/datetime.h"
#include "platform/error.h"
#include "platform/error_kinds.h"
#include "platform/file.h"
#include "platform/instance_lock.h"
#include "platform/library.h"
#include "platform/main_loop.h"
#include "platform/main_loop_windows.h"
#include "platform/private_copy.h"
#include "platform/private_file.h"
#include "platform/private_file_windows.h"
#include "platform/regional.h"
#include "platform/socket.h"

namespace quilvane::platform {
namespace {

// A fresh folder under the system's temporary folder, removed afterwards.
// Its name holds non-ASCII letters: paths travel as UTF-8.
class TempFolder {
 public:
  TempFolder() {
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    const std::wstring dir = std::wstring(base) + L"quilvane-ção-" +
                             std::to_wstring(GetCurrentProcessId()) + L"-" +
                             std::to_wstring(GetTickCount64());
    CreateDirectoryW(dir.c_str(), nullptr);
    wide_ = dir;
    path_ = Narrow(dir) + "\\";
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(wide_), ignored);
  }
  std::string operator()(const std::string& name) const { return path_ + name; }

 private:
  std::wstring wide_;
  std::string path_;
};

TEST(WindowsFile, CreateAppendReadSeekTruncate) {
  TempFolder dir;
  const std::string path = dir("preço.txt");
  {
    File f(path, File::Mode::kCreate);
    f.Write(std::string_view("hello "));
    f.Close();
  }
  {
    File f(path, File::Mode::kAppend);
    f.Write(std::string_view("wor"));
    // Others may read the log while it is appended to.
    EXPECT_EQ("hello wor", ReadFileToString(path));
    f.Write(std::string_view("ld"));
    EXPECT_EQ(11, f.Size());
  }
  EXPECT_EQ("hello world", ReadFileToString(path));
  {
    File f(path, File::Mode::kReadWrite);
    EXPECT_EQ(11, f.Size());
    f.Seek(6);
    char buf[5];
    ASSERT_EQ(5u, f.Read(std::span<char>(buf, 5)));
    EXPECT_EQ("world", std::string(buf, 5));
    EXPECT_EQ(0u, f.Read(std::span<char>(buf, 5)));
    f.Truncate(5);
    f.Sync();
  }
  EXPECT_EQ("hello", ReadFileToString(path));
  // The name on disk is the UTF-16 of the UTF-8 given.
  EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(Widen(path).c_str()));
}

TEST(WindowsFile, MissingFileFailsWithTheSystemCodeAndNamesThePath) {
  TempFolder dir;
  try {
    File f(dir("nada.txt"), File::Mode::kRead);
    FAIL() << "opened a missing file";
  } catch (const SystemError& e) {
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, e.code());
    EXPECT_TRUE(IsNotFound(e));
    EXPECT_FALSE(IsDiskFull(e));
    EXPECT_NE(std::string::npos, std::string(e.what()).find("nada.txt")) << e.what();
  }
  try {
    File f(dir("no-folder\\nada.txt"), File::Mode::kCreate);
    FAIL() << "created a file in a missing folder";
  } catch (const SystemError& e) {
    EXPECT_TRUE(IsNotFound(e)) << e.code();
  }
  EXPECT_FALSE(FileExists(dir("nada.txt")));
  EXPECT_FALSE(DeleteFile(dir("nada.txt")));
  EXPECT_THROW(ReadFileToString(dir("nada.txt")), SystemError);
}

TEST(WindowsFile, ReadExactStopsAtTheEnd) {
  TempFolder dir;
  WriteFileAtomically(dir("a"), "abc");
  File f(dir("a"), File::Mode::kRead);
  std::uint8_t buf[4];
  EXPECT_THROW(f.ReadExact(buf), SystemError);
}

TEST(WindowsFile, AttributesTimesAndInfo) {
  TempFolder dir;
  const std::string path = dir("x.sql");
  WriteFileAtomically(path, "12345");
  const DateTime when = *TryEncodeDate(2020, 2, 29) + EncodeTime(13, 45, 58, 0);
  SetFileTime(path, when);
  SetFileAttributes(path, kAttrReadOnly | kAttrHidden);
  const FileInfo info = GetFileInfo(path);
  EXPECT_EQ(5, info.size);
  EXPECT_NEAR(when, info.last_write, 1.0 / 86400 / 2);
  EXPECT_EQ(kAttrReadOnly | kAttrHidden, info.attributes & (kAttrReadOnly | kAttrHidden));
  EXPECT_EQ(0u, info.attributes & kAttrDirectory);
  // A read-only file is not replaced behind the operator's back.
  EXPECT_THROW(WriteFileAtomically(path, "other"), SystemError);
  EXPECT_EQ("12345", ReadFileToString(path));
  SetFileAttributes(path, 0);
  EXPECT_EQ(0u, GetFileInfo(path).attributes & kAttrReadOnly);
  WriteFileAtomically(path, "other");
  EXPECT_EQ("other", ReadFileToString(path));
  EXPECT_TRUE(DeleteFile(path));
  EXPECT_FALSE(FileExists(path));
}

TEST(WindowsFile, DirectoriesAndRename) {
  TempFolder dir;
  const std::string nested = dir("a\\b/c");
  CreateDirectories(nested);
  EXPECT_TRUE(DirectoryExists(nested));
  EXPECT_FALSE(FileExists(nested));
  EXPECT_EQ(kAttrDirectory, GetFileInfo(nested).attributes & kAttrDirectory);
  CreateDirectories(nested);  // already there
  WriteFileAtomically(dir("from"), "1");
  WriteFileAtomically(dir("to"), "2");
  RenameFile(dir("from"), dir("to"));
  EXPECT_EQ("1", ReadFileToString(dir("to")));
  EXPECT_FALSE(FileExists(dir("from")));
}

// The unpacked exchange file replaces one left read-only beside the program,
// as on Linux; a rewrite keeps the old file's attributes.
TEST(WindowsFile, RenameReplacesReadOnlyTargetAndRewriteKeepsAttributes) {
  TempFolder dir;
  WriteFileAtomically(dir("12345678000190.SQL.part"), "new");
  WriteFileAtomically(dir("12345678000190.SQL"), "old");
  SetFileAttributes(dir("12345678000190.SQL"), kAttrReadOnly);
  RenameFile(dir("12345678000190.SQL.part"), dir("12345678000190.SQL"));
  EXPECT_EQ("new", ReadFileToString(dir("12345678000190.SQL")));
  EXPECT_FALSE(FileExists(dir("12345678000190.SQL.part")));
  WriteFileAtomically(dir("Quilvane.ini"), "[Quilvane]\r\n");
  SetFileAttributes(dir("Quilvane.ini"), kAttrHidden);
  // Wine keeps the attribute only where the file system has extended
  // attributes; Windows always does.
  const bool held = (GetFileInfo(dir("Quilvane.ini")).attributes & kAttrHidden) != 0;
  WriteFileAtomically(dir("Quilvane.ini"), "[Quilvane]\r\nDataUltimaSincronizacao=1\r\n");
  EXPECT_EQ("[Quilvane]\r\nDataUltimaSincronizacao=1\r\n", ReadFileToString(dir("Quilvane.ini")));
  if (held) {
    EXPECT_EQ(kAttrHidden, GetFileInfo(dir("Quilvane.ini")).attributes & kAttrHidden);
  }
}

// -CHECK warns when the settings holding SenhaFTP are open to every local
// user: judged by the file's DACL, whose entries count in order.
TEST(WindowsFile, ReadableByEveryLocalUserFollowsTheDacl) {
  struct Case {
    const char* name;
    const wchar_t* sddl;
    bool readable;
  };
  const Case cases[] = {
      {"users_read", L"D:P(A;;FA;;;SY)(A;;FR;;;BU)", true},
      {"everyone_all", L"D:P(A;;GA;;;WD)", true},
      {"authenticated_read", L"D:P(A;;FR;;;AU)", true},
      {"interactive_generic_read", L"D:P(A;;GR;;;IU)", true},
      {"admins_and_system", L"D:P(A;;FA;;;SY)(A;;FA;;;BA)", false},
      {"users_write_only", L"D:P(A;;FW;;;BU)", false},
      {"everyone_denied_first", L"D:P(D;;FR;;;WD)(A;;FR;;;BU)", false},
      {"users_denied_authenticated_allowed", L"D:P(D;;FR;;;BU)(A;;FR;;;AU)", true},
      {"inherit_only_grant", L"D:P(A;IO;FR;;;BU)", false},
      {"empty", L"D:P", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(c.sddl, SDDL_REVISION_1, &sd,
                                                                     nullptr));
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted));
    EXPECT_EQ(c.readable, DaclReadableByEveryLocalUser(dacl));
    LocalFree(sd);
  }
  EXPECT_TRUE(DaclReadableByEveryLocalUser(nullptr));

  // On a file (Wine keeps a file's DACL only as far as Unix modes can say).
  TempFolder dir;
  CreatePrivateFile(dir("private.ini"), "SenhaFTP=x\r\n");
  EXPECT_FALSE(ReadableByEveryLocalUser(dir("private.ini")));
  EXPECT_THROW(ReadableByEveryLocalUser(dir("missing.ini")), SystemError);
}

// The signing key: read only when nobody beyond SYSTEM, the Administrators
// and its owner may read it; any other grant (deny entries aside) refuses it.
TEST(WindowsFile, PrivateKeyReadersBeyondTheOwner) {
  struct Case {
    const char* name;
    const wchar_t* sddl;    // owner and DACL
    const wchar_t* reader;  // nullptr: none beyond the owner
  };
  const Case cases[] = {
      {"keygen's", L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)", nullptr},
      {"owner_user", L"O:S-1-5-21-1-2-3-1001D:P(A;;FA;;;SY)(A;;FA;;;S-1-5-21-1-2-3-1001)", nullptr},
      {"owner_rights", L"O:S-1-5-21-1-2-3-1001D:P(A;;FR;;;OW)", nullptr},
      {"users_read", L"O:BAD:P(A;;FA;;;SY)(A;;FR;;;BU)", L"S-1-5-32-545"},
      {"another_user", L"O:S-1-5-21-1-2-3-1001D:P(A;;GR;;;S-1-5-21-1-2-3-1002)",
       L"S-1-5-21-1-2-3-1002"},
      {"everyone_all", L"O:BAD:P(A;;GA;;;WD)", L"S-1-1-0"},
      {"owner_is_users", L"O:BUD:P(A;;FA;;;BU)", L"S-1-5-32-545"},
      {"users_write_only", L"O:BAD:P(A;;FW;;;BU)", nullptr},
      {"inherit_only_grant", L"O:BAD:P(A;IO;FR;;;BU)", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(c.sddl, SDDL_REVISION_1, &sd,
                                                                     nullptr));
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted));
    PSID owner = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorOwner(sd, &owner, &defaulted));
    const std::optional<std::wstring> reader = DaclReaderBeyondOwner(dacl, owner);
    if (c.reader == nullptr) {
      EXPECT_FALSE(reader.has_value()) << Narrow(*reader);
    } else {
      EXPECT_EQ(std::wstring(c.reader), reader.value_or(L"none"));
    }
    LocalFree(sd);
  }
  EXPECT_EQ(std::wstring(L"S-1-1-0"), DaclReaderBeyondOwner(nullptr, nullptr).value_or(L""));

  // -KEYGEN's file is read back.
  TempFolder dir;
  CreatePrivateFile(dir("Quilvane.key"), "key");
  EXPECT_EQ("key", ReadPrivateFile(dir("Quilvane.key"), 100));
  EXPECT_THROW(ReadPrivateFile(dir("missing.key"), 100), SystemError);
  EXPECT_TRUE(NothingAt(dir("missing.key")));
  EXPECT_FALSE(NothingAt(dir("Quilvane.key")));
}

// A name taken by anything, a link included, is never opened for a new file.
TEST(WindowsFile, CreateNewNeverOpensWhatIsThere) {
  TempFolder dir;
  WriteFileAtomically(dir("victim"), "keep");
  EXPECT_THROW(File(dir("victim"), File::Mode::kCreateNew), FileExistsError);
  if (CreateSymbolicLinkW(Widen(dir("link")).c_str(), Widen(dir("nowhere")).c_str(), 0)) {
    // Windows refuses the taken name; Wine opens the link itself. Neither
    // goes through it to create the file it names.
    try {
      File(dir("link"), File::Mode::kCreateNew);
    } catch (const FileExistsError&) {
    }
    EXPECT_FALSE(FileExists(dir("nowhere")));
  }
  std::string a, b;
  {
    File first = CreateTemporaryBeside(dir("status.html"), a);
    File second = CreateTemporaryBeside(dir("status.html"), b);
  }
  EXPECT_NE(a, b);
  EXPECT_EQ(dir("status.html").size() + 21, a.size());
  EXPECT_EQ("keep", ReadFileToString(dir("victim")));
}

TEST(WindowsFile, ExecutableDirIsTheProgramsFolder) {
  const std::string dir = ExecutableDir();
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ('\\', dir.back());
  EXPECT_EQ('\\', PathSeparator());
  wchar_t exe[MAX_PATH];
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  EXPECT_EQ(0u, Narrow(exe).rfind(dir, 0));
}

TEST(WindowsCodePage, AnsiAndOemFollowTheSystem) {
  // The prefix runs the usual Western code pages: 1252 and 437 or 850.
  ASSERT_EQ(1252u, GetACP());
  bool lossless = false;
  EXPECT_EQ("Pre\xE7o \x80", Utf8ToAnsi("Preço €", &lossless));
  EXPECT_TRUE(lossless);
  EXPECT_EQ("Preço €", AnsiToUtf8("Pre\xE7o \x80"));
  // No best-fit look-alike: a character the page lacks is a visible '?'.
  EXPECT_EQ("a?b", Utf8ToAnsi("a\xE2\x88\x9E"
                              "b",
                              &lossless));  // U+221E infinity
  EXPECT_FALSE(lossless);
  EXPECT_FALSE(AnsiCanHold("中"));
  const UINT oem = GetOEMCP();
  ASSERT_TRUE(oem == 437 || oem == 850) << oem;
  EXPECT_EQ("\x87", Utf8ToOem("ç", &lossless));  // the same byte in both
  EXPECT_TRUE(lossless);
  EXPECT_EQ("ç", OemToUtf8("\x87"));
}

TEST(WindowsRegional, SettingsComeFromTheUserLocale) {
  const FormatSettings fs = SystemFormatSettings();
  wchar_t sep[8] = {};
  GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_SDATE, sep, 8);
  EXPECT_EQ(static_cast<char>(sep[0]), fs.date_separator);
  GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_SDECIMAL, sep, 8);
  EXPECT_EQ(static_cast<char>(sep[0]), fs.decimal_separator);
  // Whatever the locale, the format formats and parses back.
  const DateTime day = *TryEncodeDate(2026, 12, 31);
  const std::string text = FormatShortDate(day, fs);
  const auto parsed = ParseShortDate(text, fs, 2026);
  ASSERT_TRUE(parsed.has_value()) << text << " with " << fs.short_date_format;
  EXPECT_EQ(day, *parsed);
}

TEST(WindowsSocket, LoopbackRoundTripAndErrors) {
  Listener listener;
  ASSERT_NE(0, listener.port());
  std::thread peer([&] {
    Socket s = listener.Accept(std::chrono::seconds(10));
    char buf[16];
    const size_t n = s.Read(std::span<char>(buf, sizeof buf));
    s.WriteAll(std::string_view(buf, n));
  });
  Socket client = Socket::Connect(ResolveIpv4("localhost"), listener.port(), SocketTimeouts{});
  client.WriteAll("ping");
  char buf[16];
  size_t got = 0;
  while (got < 4) {
    const size_t n = client.Read(std::span<char>(buf + got, sizeof buf - got));
    ASSERT_GT(n, 0u);
    got += n;
  }
  EXPECT_EQ("ping", std::string(buf, 4));
  peer.join();
  EXPECT_TRUE(client.WaitReadable(std::chrono::seconds(5)));
  EXPECT_TRUE(client.PeerClosed());

  // Nothing listens on a closed port: the refusal keeps its Winsock number.
  const std::uint16_t closed = listener.port();
  listener.Close();
  try {
    Socket::Connect(ResolveIpv4("127.0.0.1"), closed, SocketTimeouts{});
    FAIL() << "connected to a closed port";
  } catch (const SocketError& e) {
    EXPECT_EQ(kSocketRefused, e.code());
    EXPECT_EQ("Socket Error # 10061\r\nConnection refused.", std::string(e.what()));
  }
  EXPECT_THROW(ResolveIpv4("exchange.invalid"), SocketError);
}

TEST(WindowsSocket, SilentPeerTimesOut) {
  Listener listener;
  Socket client = Socket::Connect(ResolveIpv4("127.0.0.1"), listener.port(), SocketTimeouts{});
  Socket server = listener.Accept(std::chrono::seconds(5));
  client.set_idle_timeout(std::chrono::milliseconds(300));
  char buf[4];
  EXPECT_THROW(client.Read(std::span<char>(buf, sizeof buf)), SocketTimeoutError);
}

TEST(WindowsLibrary, LoadsByNameAndNamesTheFailure) {
  LibraryLoadFailure failure;
  DynamicLibrary k32 = DynamicLibrary::Load("kernel32.dll", &failure);
  ASSERT_TRUE(k32.loaded()) << failure.message;
  EXPECT_NE(nullptr, k32.Symbol("GetACP"));
  EXPECT_EQ(nullptr, k32.Symbol("NoSuchFunction"));
  DynamicLibrary none = DynamicLibrary::Load("quilvane-no-such.dll", &failure);
  EXPECT_FALSE(none.loaded());
  EXPECT_FALSE(failure.message.empty());
  EXPECT_TRUE(failure.foreign_architecture.empty());
  // The sites' build is 32-bit; a 64-bit one is an extra.
  const std::string built = sizeof(void*) == 4 ? "x86" : "x64";
  EXPECT_EQ(built, ProcessArchitecture());
  wchar_t exe[MAX_PATH];
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  EXPECT_EQ(built, LibraryFileArchitecture(Narrow(exe)));
}

TEST(WindowsLibrary, ArchitectureOfAnImageHeader) {
  // The smallest PE header for an x86, then an x64 image: MZ, e_lfanew, "PE\0\0", machine.
  TempFolder dir;
  std::string image(0x80, '\0');
  image[0] = 'M';
  image[1] = 'Z';
  image[0x3C] = 0x40;
  image.replace(0x40, 6, std::string("PE\0\0\x4c\x01", 6));
  WriteFileAtomically(dir("fbclient.dll"), image);
  EXPECT_EQ("x86", LibraryFileArchitecture(dir("fbclient.dll")));
  image.replace(0x44, 2, std::string("\x64\x86", 2));
  WriteFileAtomically(dir("fbclient.dll"), image);
  EXPECT_EQ("x64", LibraryFileArchitecture(dir("fbclient.dll")));
  WriteFileAtomically(dir("junk.dll"), "MZ");
  EXPECT_EQ("", LibraryFileArchitecture(dir("junk.dll")));
}

TEST(WindowsMainLoop, TimerFiresOnTheLoopThreadAndPostedWorkRuns) {
  MainLoop loop;
  Timer timer(std::chrono::milliseconds(50));
  int firings = 0;
  bool task_ran = false;
  const DWORD loop_thread = GetCurrentThreadId();
  DWORD task_thread = 0;
  timer.set_enabled(true);
  std::thread other([&] {
    EXPECT_TRUE(PostToMainLoop([&] {
      task_ran = true;
      task_thread = GetCurrentThreadId();
    }));
  });
  const auto start = std::chrono::steady_clock::now();
  loop.Run(
      timer,
      [&] {
        // A cycle stops the timer for its run and starts it again.
        timer.set_enabled(false);
        if (++firings == 3) {
          loop.RequestStop();
          return;
        }
        timer.set_enabled(true);
      },
      [](const char* what) { ADD_FAILURE() << what; });
  other.join();
  EXPECT_EQ(3, firings);
  EXPECT_TRUE(task_ran);
  EXPECT_EQ(loop_thread, task_thread);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(120));
}

TEST(WindowsMainLoop, ErrorsEscapingATimerFiringGoToTheHandlerAndTheLoopGoesOn) {
  MainLoop loop;
  Timer timer(std::chrono::milliseconds(20));
  int firings = 0;
  std::string errors;
  timer.set_enabled(true);
  loop.Run(
      timer,
      [&] {
        if (++firings == 2) {
          timer.set_enabled(false);
          loop.RequestStop();
          return;
        }
        throw Error("boom");
      },
      [&](const char* what) { errors += what; });
  EXPECT_EQ(2, firings);
  EXPECT_EQ("boom", errors);
}

TEST(WindowsMainLoop, StopRequestedFromAnotherThreadEndsTheLoop) {
  MainLoop loop;
  Timer timer(std::chrono::hours(1));
  std::thread stopper([&] {
    Sleep(100);
    loop.RequestStop();
  });
  loop.Run(
      timer, [] {}, [](const char*) {});
  stopper.join();
  SUCCEED();
}

// The lock beside the program: a second taker is refused and told who holds
// it (Windows locks are mandatory: the holder's words must stay readable),
// and a released lock is free again.
TEST(WindowsInstanceLock, SecondTakerIsRefusedAndToldWhoHoldsIt) {
  TempFolder dir;
  const std::string path = dir("Quilvane.lock");
  {
    const std::optional<InstanceLock> first = InstanceLock::TryTake(path, "-IMPORT");
    ASSERT_TRUE(first.has_value());
    EXPECT_FALSE(InstanceLock::TryTake(path, "servi\xC3\xA7o").has_value());
    const std::optional<LockHolder> holder = ReadLockHolder(path);
    ASSERT_TRUE(holder.has_value());
    EXPECT_EQ(GetCurrentProcessId(), holder->pid);
    EXPECT_EQ("-IMPORT", holder->what);
  }
  EXPECT_FALSE(ReadLockHolder(path).has_value());
  EXPECT_TRUE(InstanceLock::TryTake(path, "-ONCE").has_value());
}

// The private copy the import checks and runs: nobody else may write,
// rename or delete it while it lives, a change of the source does not reach
// it, and it goes with its owner.
TEST(WindowsPrivateCopy, NoOtherWriterAndGoneAfterwards) {
  TempFolder dir;
  const std::string source = dir("12345678000190.SQL");
  {
    File f(source, File::Mode::kCreate);
    f.Write("17/10/2023\r\n");
    f.Close();
  }
  std::string copy_path;
  {
    const PrivateCopy copy(source, dir(""));
    copy_path = copy.path();
    EXPECT_EQ("17/10/2023\r\n", ReadFileToString(copy.path()));
    const HANDLE writer = CreateFileW(Widen(copy.path()).c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_EQ(INVALID_HANDLE_VALUE, writer);
    if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
    EXPECT_FALSE(DeleteFileW(Widen(copy.path()).c_str()));
    WriteFileAtomically(source, "forged\r\n");
    EXPECT_EQ("17/10/2023\r\n", ReadFileToString(copy.path()));
  }
  EXPECT_FALSE(FileExists(copy_path));
}

}  // namespace
}  // namespace quilvane::platform
