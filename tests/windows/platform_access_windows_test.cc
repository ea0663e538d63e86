// Who may read or write a site's files on Windows, run under Wine by
// scripts/test-windows: the settings' and the signing key's DACLs, the lock
// beside the program and the import's private copy.
#include <windows.h>

#include <sddl.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/wide_windows.h"  // first: it undefines clashing macros
#include "platform/error.h"
#include "platform/file.h"
#include "platform/instance_lock.h"
#include "platform/private_copy.h"
#include "platform/private_file.h"
#include "platform/private_file_windows.h"
#include "tests/windows/temp_folder.h"

namespace quilvane::platform {
namespace {

// A security descriptor written in SDDL, freed when it goes.
class Descriptor {
 public:
  explicit Descriptor(const wchar_t* sddl) {
    BOOL present = FALSE, defaulted = FALSE;
    parsed_ = ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd_,
                                                                   nullptr) &&
              GetSecurityDescriptorDacl(sd_, &present, &dacl_, &defaulted) &&
              GetSecurityDescriptorOwner(sd_, &owner_, &defaulted);
  }
  ~Descriptor() {
    if (sd_ != nullptr) LocalFree(sd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  bool parsed() const { return parsed_; }
  PACL dacl() const { return dacl_; }
  PSID owner() const { return owner_; }

 private:
  PSECURITY_DESCRIPTOR sd_ = nullptr;
  PACL dacl_ = nullptr;
  PSID owner_ = nullptr;
  bool parsed_ = false;
};

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
    const Descriptor d(c.sddl);
    ASSERT_TRUE(d.parsed());
    EXPECT_EQ(c.readable, DaclReadableByEveryLocalUser(d.dacl()));
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
    const Descriptor d(c.sddl);
    ASSERT_TRUE(d.parsed());
    const std::optional<std::wstring> reader = DaclReaderBeyondOwner(d.dacl(), d.owner());
    if (c.reader == nullptr) {
      EXPECT_FALSE(reader.has_value()) << Narrow(*reader);
    } else {
      EXPECT_EQ(std::wstring(c.reader), reader.value_or(L"none"));
    }
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
