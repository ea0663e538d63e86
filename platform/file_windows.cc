// Files on Windows: handles from CreateFileW, UTF-8 paths widened to UTF-16.
#include <windows.h>

#include <cstring>
#include <limits>
#include <vector>

#include "platform/wide_windows.h"  // first: it undefines clashing macros
#include "platform/error.h"
#include "platform/file.h"

namespace quilvane::platform {
namespace {

HANDLE H(std::intptr_t fd) { return reinterpret_cast<HANDLE>(fd); }

std::intptr_t Fd(HANDLE h) {
  return h == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<std::intptr_t>(h);
}

DateTime FromFileTime(const FILETIME& utc) {
  FILETIME local_ft{};
  SYSTEMTIME st{};
  if (!FileTimeToLocalFileTime(&utc, &local_ft) || !FileTimeToSystemTime(&local_ft, &st)) return 0;
  const auto day = TryEncodeDate(st.wYear, st.wMonth, st.wDay);
  return day ? *day + EncodeTime(st.wHour, st.wMinute, st.wSecond, 0) : 0;
}

// Chunks for ReadFile/WriteFile, whose sizes are 32-bit.
constexpr DWORD kMaxChunk = 1u << 30;

}  // namespace

std::wstring Widen(std::string_view utf8) {
  if (utf8.empty()) return {};
  if (utf8.size() > static_cast<size_t>(std::numeric_limits<int>::max())) {
    throw Error("text too long");
  }
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

std::string Narrow(std::wstring_view utf16) {
  if (utf16.empty()) return {};
  if (utf16.size() > static_cast<size_t>(std::numeric_limits<int>::max())) {
    throw Error("text too long");
  }
  const int n = WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()),
                                    nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

std::string SystemMessage(int code) {
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string out;
  if (n > 0 && text != nullptr) {
    std::wstring_view view(text, n);
    // The system's texts end in CR LF; the callers add their own line ends.
    while (!view.empty() && (view.back() == L'\n' || view.back() == L'\r' || view.back() == L' ')) {
      view.remove_suffix(1);
    }
    out = Narrow(view);
  } else {
    out = "System error " + std::to_string(code);
  }
  if (text != nullptr) LocalFree(text);
  return out;
}

SystemError MakeSystemError(const std::string& context, int code) {
  return SystemError(context + ": " + SystemMessage(code), code);
}

char PathSeparator() { return '\\'; }

std::string ExecutableDir() {
  std::vector<wchar_t> buf(MAX_PATH);
  while (true) {
    const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) throw MakeSystemError("GetModuleFileName", static_cast<int>(GetLastError()));
    if (n < buf.size()) {
      std::wstring path(buf.data(), n);
      return Narrow(path.substr(0, path.find_last_of(L"\\/") + 1));
    }
    if (buf.size() >= 32768)
      throw SystemError("GetModuleFileName: path too long", ERROR_INSUFFICIENT_BUFFER);
    buf.resize(buf.size() * 2);
  }
}

File::File(const std::string& path, Mode mode) : path_(path) {
  DWORD access = 0;
  DWORD disposition = 0;
  DWORD share = FILE_SHARE_READ;
  DWORD flags = FILE_ATTRIBUTE_NORMAL;
  switch (mode) {
    case Mode::kRead:
      access = GENERIC_READ;
      disposition = OPEN_EXISTING;
      share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
      break;
    case Mode::kCreate:
      access = GENERIC_WRITE;
      disposition = CREATE_ALWAYS;
      break;
    case Mode::kReadWrite:
      access = GENERIC_READ | GENERIC_WRITE;
      disposition = OPEN_EXISTING;
      break;
    case Mode::kAppend:
      // Every write lands at the end, as with O_APPEND; others may read
      // (the operator's viewer) while the log is written.
      access = FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
      disposition = OPEN_ALWAYS;
      share = FILE_SHARE_READ | FILE_SHARE_WRITE;
      break;
    case Mode::kCreateNew:
      // A link or junction planted at the name is the name taken, never a
      // way to a file elsewhere.
      access = GENERIC_WRITE;
      disposition = CREATE_NEW;
      flags |= FILE_FLAG_OPEN_REPARSE_POINT;
      break;
  }
  const HANDLE h =
      CreateFileW(Widen(path).c_str(), access, share, nullptr, disposition, flags, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD err = GetLastError();
    if (mode == Mode::kCreateNew && (err == ERROR_FILE_EXISTS || err == ERROR_ALREADY_EXISTS)) {
      throw FileExistsError(path + ": already exists");
    }
    throw MakeSystemError(path, static_cast<int>(err));
  }
  fd_ = Fd(h);
}

File::File(File&& other) noexcept : fd_(other.fd_), path_(std::move(other.path_)) {
  other.fd_ = -1;
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) CloseHandle(H(fd_));
    fd_ = other.fd_;
    path_ = std::move(other.path_);
    other.fd_ = -1;
  }
  return *this;
}

File::~File() {
  if (fd_ >= 0) CloseHandle(H(fd_));
}

size_t File::Read(std::span<std::uint8_t> out) {
  DWORD got = 0;
  const DWORD want = out.size() > kMaxChunk ? kMaxChunk : static_cast<DWORD>(out.size());
  if (!ReadFile(H(fd_), out.data(), want, &got, nullptr)) {
    const DWORD err = GetLastError();
    if (err == ERROR_HANDLE_EOF || err == ERROR_BROKEN_PIPE) return 0;
    throw MakeSystemError(path_, static_cast<int>(err));
  }
  return got;
}

void File::Write(std::span<const std::uint8_t> bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const size_t left = bytes.size() - done;
    const DWORD want = left > kMaxChunk ? kMaxChunk : static_cast<DWORD>(left);
    DWORD wrote = 0;
    if (!WriteFile(H(fd_), bytes.data() + done, want, &wrote, nullptr)) {
      throw MakeSystemError(path_, static_cast<int>(GetLastError()));
    }
    if (wrote == 0)
      throw SystemError(path_ + ": " + SystemMessage(ERROR_WRITE_FAULT), ERROR_WRITE_FAULT);
    done += wrote;
  }
}

void File::Seek(std::int64_t offset) {
  LARGE_INTEGER to{};
  to.QuadPart = offset;
  if (!SetFilePointerEx(H(fd_), to, nullptr, FILE_BEGIN)) {
    throw MakeSystemError(path_, static_cast<int>(GetLastError()));
  }
}

std::int64_t File::Size() const {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(H(fd_), &size)) throw MakeSystemError(path_, static_cast<int>(GetLastError()));
  return size.QuadPart;
}

void File::Truncate(std::int64_t size) {
  FILE_END_OF_FILE_INFO info{};
  info.EndOfFile.QuadPart = size;
  if (!SetFileInformationByHandle(H(fd_), FileEndOfFileInfo, &info, sizeof info)) {
    throw MakeSystemError(path_, static_cast<int>(GetLastError()));
  }
}

void File::Sync() {
  if (!FlushFileBuffers(H(fd_))) throw MakeSystemError(path_, static_cast<int>(GetLastError()));
}

void File::Close() {
  if (fd_ < 0) return;
  const HANDLE h = H(fd_);
  fd_ = -1;
  if (!CloseHandle(h)) throw MakeSystemError(path_, static_cast<int>(GetLastError()));
}

bool FileExists(const std::string& path) {
  const DWORD a = GetFileAttributesW(Widen(path).c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool NothingAt(const std::string& path) {
  // The attributes of a link itself, never of what it names.
  if (GetFileAttributesW(Widen(path).c_str()) != INVALID_FILE_ATTRIBUTES) return false;
  const DWORD err = GetLastError();
  return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND;
}

bool DirectoryExists(const std::string& path) {
  const DWORD a = GetFileAttributesW(Widen(path).c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

FileInfo GetFileInfo(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(Widen(path).c_str(), GetFileExInfoStandard, &data)) {
    throw MakeSystemError(path, static_cast<int>(GetLastError()));
  }
  FileInfo info;
  info.size =
      static_cast<std::int64_t>((std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow);
  info.last_write = FromFileTime(data.ftLastWriteTime);
  info.attributes = data.dwFileAttributes &
                    (kAttrReadOnly | kAttrHidden | kAttrSystem | kAttrDirectory | kAttrArchive);
  return info;
}

bool DeleteFile(const std::string& path) {
  if (DeleteFileW(Widen(path).c_str())) return true;
  const DWORD err = GetLastError();
  if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) return false;
  throw MakeSystemError(path, static_cast<int>(err));
}

void RenameFile(const std::string& from, const std::string& to) {
  const std::wstring wide_from = Widen(from);
  const std::wstring wide_to = Widen(to);
  const DWORD flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
  if (MoveFileExW(wide_from.c_str(), wide_to.c_str(), flags)) return;
  DWORD err = GetLastError();
  // A read-only target refuses to be replaced; the file beside the program
  // (an exchange file left marked read-only) is replaced as on POSIX hosts.
  const DWORD attributes = GetFileAttributesW(wide_to.c_str());
  if (err == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && (attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
      SetFileAttributesW(wide_to.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY})) {
    if (MoveFileExW(wide_from.c_str(), wide_to.c_str(), flags)) return;
    err = GetLastError();
    SetFileAttributesW(wide_to.c_str(), attributes);  // the old file stays as it was
  }
  throw MakeSystemError(to, static_cast<int>(err));
}

void SetFileTime(const std::string& path, DateTime local) {
  const CivilDate d = DecodeDate(local);
  const CivilTime t = DecodeTime(local);
  SYSTEMTIME st{};
  st.wYear = static_cast<WORD>(d.year);
  st.wMonth = static_cast<WORD>(d.month);
  st.wDay = static_cast<WORD>(d.day);
  st.wHour = static_cast<WORD>(t.hour);
  st.wMinute = static_cast<WORD>(t.minute);
  st.wSecond = static_cast<WORD>(t.second);
  FILETIME local_ft{};
  FILETIME utc{};
  if (!SystemTimeToFileTime(&st, &local_ft) || !LocalFileTimeToFileTime(&local_ft, &utc)) {
    throw MakeSystemError(path, static_cast<int>(GetLastError()));
  }
  const HANDLE h = CreateFileW(Widen(path).c_str(), FILE_WRITE_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) throw MakeSystemError(path, static_cast<int>(GetLastError()));
  const BOOL ok = ::SetFileTime(h, nullptr, nullptr, &utc);
  const DWORD err = GetLastError();
  CloseHandle(h);
  if (!ok) throw MakeSystemError(path, static_cast<int>(err));
}

void SetFileAttributes(const std::string& path, std::uint32_t attributes) {
  const std::wstring wide = Widen(path);
  const DWORD current = GetFileAttributesW(wide.c_str());
  if (current == INVALID_FILE_ATTRIBUTES)
    throw MakeSystemError(path, static_cast<int>(GetLastError()));
  // The bits a file may carry; the directory bit is the file system's.
  constexpr DWORD kSettable = kAttrReadOnly | kAttrHidden | kAttrSystem | kAttrArchive;
  DWORD wanted = (current & ~kSettable) | (attributes & kSettable);
  if (wanted == 0) wanted = FILE_ATTRIBUTE_NORMAL;
  if (!SetFileAttributesW(wide.c_str(), wanted)) {
    throw MakeSystemError(path, static_cast<int>(GetLastError()));
  }
}

void CreateDirectories(const std::string& path) {
  std::string partial;
  for (size_t i = 0; i <= path.size(); ++i) {
    const bool sep = i < path.size() && (path[i] == '\\' || path[i] == '/');
    if (i == path.size() || sep) {
      // Skip drive roots ("C:") and the empty start of "\\server\share".
      const bool drive = partial.size() == 2 && partial[1] == ':';
      if (!partial.empty() && !drive && !DirectoryExists(partial)) {
        if (!CreateDirectoryW(Widen(partial).c_str(), nullptr)) {
          const DWORD err = GetLastError();
          if (err != ERROR_ALREADY_EXISTS) throw MakeSystemError(partial, static_cast<int>(err));
        }
      }
    }
    if (i < path.size()) partial += path[i];
  }
}

}  // namespace quilvane::platform
