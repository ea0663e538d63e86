#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "platform/datetime.h"
#include "platform/error.h"

namespace quilvane::platform {

// Windows-style attribute bits, the form the archive stores and the rest of
// the system reasons with, whatever the host.
enum FileAttribute : std::uint32_t {
  kAttrReadOnly = 0x01,
  kAttrHidden = 0x02,
  kAttrSystem = 0x04,
  kAttrDirectory = 0x10,
  kAttrArchive = 0x20,
};

// The folder of the running executable, with a trailing separator; never the
// current directory.
std::string ExecutableDir();

// Path separator of the host ('/' or '\\').
char PathSeparator();

// An open file. Move-only; the destructor closes silently, Close() reports.
// Every failure throws platform::SystemError naming the path.
class File {
 public:
  enum class Mode {
    kRead,       // existing file, shared for reading
    kCreate,     // created or truncated, for writing
    kReadWrite,  // existing file, for reading and writing
    kAppend,     // created when missing, every write at the end
    // Created for writing, only where nothing is at the path: never an
    // existing file, never through a symbolic link or reparse point (a name
    // taken throws FileExistsError). Readable by its owner only on POSIX
    // until the caller sets the mode.
    kCreateNew,
  };

  File() = default;
  File(const std::string& path, Mode mode);
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  bool is_open() const { return fd_ >= 0; }
  const std::string& path() const { return path_; }
  // The descriptor (POSIX) or HANDLE (Windows), for calls made on the open
  // file rather than by its path.
  std::intptr_t native_handle() const { return fd_; }

  // Reads up to out.size() bytes; 0 at the end of the file. This and the
  // span Write are the host's own; the other reads and writes call them.
  size_t Read(std::span<std::uint8_t> out);
  size_t Read(std::span<char> out);
  // Reads exactly out.size() bytes or throws SystemError ("unexpected end of
  // file").
  void ReadExact(std::span<std::uint8_t> out);
  // Writes every byte or throws.
  void Write(std::span<const std::uint8_t> bytes);
  void Write(std::string_view bytes);
  void Seek(std::int64_t offset);
  std::int64_t Size() const;
  void Truncate(std::int64_t size);
  // Flushes to the storage device.
  void Sync();
  void Close();

 private:
  // A file descriptor on POSIX, a HANDLE on Windows; -1 when closed.
  std::intptr_t fd_ = -1;
  std::string path_;
};

struct FileInfo {
  std::int64_t size = 0;
  DateTime last_write = 0;  // local time
  std::uint32_t attributes = 0;
};

bool FileExists(const std::string& path);
// Whether nothing at all is at `path`: no file, folder or link, not even a
// dangling one. False also when the system cannot tell (a folder above it
// denies access): an optional file that cannot be examined is not absent.
bool NothingAt(const std::string& path);
bool DirectoryExists(const std::string& path);
FileInfo GetFileInfo(const std::string& path);
// Deletes a file; throws when it exists and cannot be deleted. Returns
// whether a file was deleted.
bool DeleteFile(const std::string& path);
// Replaces `to` with `from` in one step. A read-only `to` is replaced too, on
// every host (Windows refuses it unless its attribute is cleared first).
void RenameFile(const std::string& from, const std::string& to);
void SetFileTime(const std::string& path, DateTime local);
// Applies the read-only bit (the other bits have no POSIX meaning).
void SetFileAttributes(const std::string& path, std::uint32_t attributes);
// Creates a folder and its missing parents.
void CreateDirectories(const std::string& path);
std::string ReadFileToString(const std::string& path);

// Creates a file beside `target` under a name nobody can foresee,
// "<target>.<16 hex digits>.tmp", with File::Mode::kCreateNew: a link or file
// another user planted at a name we might use is never opened. `temp_path`
// gets the name.
File CreateTemporaryBeside(const std::string& target, std::string& temp_path);

// Writes `bytes` to a temporary file beside `path`, flushes it and renames it
// over `path`, so a crash or a full disk leaves the old file whole. An
// existing file keeps its owner, group and mode (on Windows its attributes and
// security), and a symbolic link is followed to the file it names, which is
// the one replaced. Where a rename cannot keep the owner (a process that may
// not give a file away) or the file has other hard links, the file is
// rewritten in place instead, its old bytes restored if that fails. A file
// marked read-only is refused. Where a replace failed after the old file was
// already gone, the new content survives only in the temporary file, which
// KeptTemporaryFileError names.
void WriteFileAtomically(const std::string& path, std::string_view bytes);

// WriteFileAtomically failed and left the new content in `kept_path()`.
class KeptTemporaryFileError : public SystemError {
 public:
  KeptTemporaryFileError(const SystemError& cause, std::string kept_path)
      : SystemError(std::string(cause.what()) + " (the new content is kept in " + kept_path + ")",
                    cause.code()),
        kept_path_(std::move(kept_path)) {}
  const std::string& kept_path() const { return kept_path_; }

 private:
  std::string kept_path_;
};

}  // namespace quilvane::platform
