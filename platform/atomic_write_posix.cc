// Replacing a file in one step: a temporary file beside it, created where
// no other user can have put anything first, then renamed over it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/safe_path.h"

namespace quilvane::platform {
namespace {

// The file `path` names once its symbolic links are followed: writing the
// settings through a link must update the file it points to, not replace the
// link. A dangling link yields its target, which the write then creates.
// `hops` gets every name reached through a link, the last being the result.
std::string FollowLinks(const std::string& path, std::vector<std::string>& hops) {
  std::string current = path;
  for (int n = 0; n < 40; ++n) {
    struct stat st {};
    if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
    std::vector<char> buf(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1);
    ssize_t got;
    while ((got = ::readlink(current.c_str(), buf.data(), buf.size())) >= 0 &&
           static_cast<size_t>(got) == buf.size()) {
      buf.resize(buf.size() * 2);  // the link changed or its size was not told
    }
    if (got <= 0) throw MakeSystemError(current, got < 0 ? errno : ENOENT);
    std::string target(buf.data(), static_cast<size_t>(got));
    if (target[0] != '/') {
      const size_t slash = current.rfind('/');
      if (slash != std::string::npos) target = current.substr(0, slash + 1) + target;
    }
    current = std::move(target);
    hops.push_back(current);
  }
  throw MakeSystemError(path, ELOOP);
}

// The first folder, from the one holding `name` up to "/", in which another
// user could replace what leads to `name`; nullopt when there is none.
std::optional<std::string> UnsafeFolderAbove(const std::string& name) {
  const size_t slash = name.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : name.substr(0, slash + 1);
  char real[PATH_MAX];
  if (::realpath(folder.c_str(), real) == nullptr) throw MakeSystemError(folder, errno);
  std::optional<std::uint32_t> owner;
  std::uint64_t links = 1;
  struct stat st {};
  if (::lstat(name.c_str(), &st) == 0) {
    owner = st.st_uid;
    links = st.st_nlink;
  } else if (errno != ENOENT) {
    throw MakeSystemError(name, errno);
  }
  std::string at = real;
  while (true) {
    if (::lstat(at.c_str(), &st) != 0) throw MakeSystemError(at, errno);
    if (OthersMayReplaceEntry(st.st_uid, st.st_mode & 07777, owner, links)) return at;
    if (at == "/") return std::nullopt;
    owner = st.st_uid;
    links = 1;  // a folder has no hard links of its own making
    const size_t up = at.rfind('/');
    at.erase(up == 0 ? 1 : up);
  }
}

std::optional<std::string> UntrustedHops(const std::string& path, const std::string& target,
                                         const std::vector<std::string>& hops) {
  for (const std::string& hop : hops) {
    if (auto folder = UnsafeFolderAbove(hop)) {
      return path + " leads to " + target +
             ", and users other than its owner and root can write to " + *folder +
             ": refused while running as root";
    }
  }
  return std::nullopt;
}

// Rewrites an existing file in place, for when a rename would change what the
// file is: its owner (a service account cannot give a new file away) or its
// other hard links. The old bytes go back if the write fails half-way.
void RewriteInPlace(const std::string& path, std::string_view bytes) {
  const std::string old = ReadFileToString(path);
  File f(path, File::Mode::kReadWrite);
  try {
    f.Write(bytes);
    f.Truncate(static_cast<std::int64_t>(bytes.size()));
    f.Sync();
    f.Close();
  } catch (...) {
    try {
      f.Seek(0);
      f.Write(old);
      f.Truncate(static_cast<std::int64_t>(old.size()));
      f.Close();
    } catch (...) {
      // The first failure is the one to report.
    }
    throw;
  }
}

}  // namespace

std::optional<std::string> UntrustedLinkAsRoot(const std::string& path) {
  if (::geteuid() != 0) return std::nullopt;
  std::vector<std::string> hops;
  const std::string target = FollowLinks(path, hops);
  return UntrustedHops(path, target, hops);
}

void WriteFileAtomically(const std::string& path, std::string_view bytes) {
  std::vector<std::string> hops;
  const std::string target = FollowLinks(path, hops);
  if (::geteuid() == 0) {
    if (auto why = UntrustedHops(path, target, hops)) throw UntrustedLinkError(*why);
  }
  struct stat st {};
  const bool exists = ::stat(target.c_str(), &st) == 0;
  mode_t mode = 0644;
  if (exists) {
    // A file marked read-only stays unwritable, as the read-only attribute
    // makes it on Windows, even for root.
    if ((st.st_mode & S_IWUSR) == 0) throw MakeSystemError(path, EACCES);
    mode = st.st_mode & 07777;
  }
  bool in_place = exists && st.st_nlink > 1;
  std::string temp;
  try {
    File f = CreateTemporaryBeside(target, temp);
    // Owner and mode are set on the open file: by name, a link swapped in
    // meanwhile would carry them to another file.
    const int fd = static_cast<int>(f.native_handle());
    if (exists && !in_place) {
      // The new file must belong to whoever owned the old one (the operator
      // edits Quilvane.ini by hand), in its group.
      struct stat made {};
      if (::fstat(fd, &made) != 0) throw MakeSystemError(temp, errno);
      if ((made.st_uid != st.st_uid || made.st_gid != st.st_gid) &&
          ::fchown(fd, st.st_uid, st.st_gid) != 0) {
        if (errno != EPERM) throw MakeSystemError(temp, errno);
        in_place = true;
      }
    }
    // After fchown, which clears the set-id bits.
    if (::fchmod(fd, mode) != 0) throw MakeSystemError(temp, errno);
    f.Write(bytes);
    f.Sync();
    f.Close();
    if (!in_place) {
      RenameFile(temp, target);
      return;
    }
    // The temporary copy proved the space; it goes before the rewrite uses it.
    ::unlink(temp.c_str());
    temp.clear();
    RewriteInPlace(target, bytes);
  } catch (...) {
    if (!temp.empty()) ::unlink(temp.c_str());
    throw;
  }
}

}  // namespace quilvane::platform
