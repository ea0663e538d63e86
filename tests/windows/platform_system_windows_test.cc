// What the platform layer takes from Windows, run under Wine by
// scripts/test-windows: code pages, regional settings, sockets on loopback,
// run-time library loading and the main loop's timer and posted work.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/wide_windows.h"  // first: it undefines clashing macros
#include "platform/codepage.h"
#include "platform/datetime.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/library.h"
#include "platform/main_loop.h"
#include "platform/main_loop_windows.h"
#include "platform/regional.h"
#include "platform/socket.h"
#include "tests/windows/temp_folder.h"

namespace quilvane::platform {
namespace {

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

}  // namespace
}  // namespace quilvane::platform
