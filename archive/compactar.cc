#include "archive/compactar.h"

#include <exception>

#include "archive/archive_error.h"
#include "archive/name_rules.h"
#include "archive/zip_archiver.h"
#include "platform/disk_space.h"
#include "platform/file.h"
#include "platform/path.h"

namespace quilvane::archive {
namespace {

// Everything up to the last separator, without it; a root keeps its
// separator.
std::string FolderWithoutSeparator(const std::string& path) {
  const auto cut = path.find_last_of("/\\:");
  if (cut == std::string::npos) return std::string();
  if (cut == 0 || path[cut] == ':' || (cut == 2 && path[1] == ':')) return path.substr(0, cut + 1);
  return path.substr(0, cut);
}

void DeleteQuietly(const std::string& path) {
  try {
    platform::DeleteFile(path);
  } catch (const std::exception&) {
    // The failure already being reported is the one that matters.
  }
}

}  // namespace

std::string ArchivePathFor(const std::string& arquivo_origem) {
  const auto name_start = arquivo_origem.find_last_of("/\\:");
  const auto dot = arquivo_origem.rfind('.');
  if (dot == std::string::npos || (name_start != std::string::npos && dot < name_start)) {
    return arquivo_origem + ".ZIP";
  }
  return arquivo_origem.substr(0, dot) + ".ZIP";
}

void Pack(const std::string& arquivo_origem, platform::Env& env,
          const std::function<std::string()>& comment) {
  const std::string archive_path = ArchivePathFor(arquivo_origem);
  DeleteQuietly(archive_path);
  try {
    TZipArchiver archiver(env);
    archiver.Password = kArchivePassword;
    archiver.FileName = archive_path;
    archiver.OpenArchive(OpenMode::kCreate);
    archiver.BaseDir = FolderWithoutSeparator(arquivo_origem);
    if (!platform::FileExists(arquivo_origem)) {
      throw EArchiveError("File \"" + arquivo_origem + "\" not found", kNativeFileNotFound,
                          kMsgFileNotFound);
    }
    archiver.AddFiles(arquivo_origem, kSearchAttrAll, "");
    // An archive without the exchange file must never look like a success.
    if (archiver.items().size() != 1) {
      throw EArchiveError(platform::CannotOpenFileText(arquivo_origem), kNativeCannotOpenSource,
                          kMsgCannotOpenFile);
    }
    if (comment) archiver.SetComment(comment());
    archiver.CloseArchive();
  } catch (...) {
    DeleteQuietly(archive_path);
    throw;
  }
}

void RequireFreeSpace(const std::string& dir, std::uint64_t bytes) {
  std::uint64_t free_bytes = 0;
  try {
    free_bytes = platform::FreeDiskSpace(dir);
  } catch (const platform::SystemError&) {
    return;  // unknown: the write itself reports a full disk
  }
  if (free_bytes < bytes) {
    throw NoRoomError("espaço livre insuficiente em " + dir + ": " + std::to_string(free_bytes) +
                      " bytes livres, " + std::to_string(bytes) + " necessários");
  }
}

void Unpack(const std::string& arquivo, const std::string& destino, const UnpackOptions& options) {
  TZipArchiver archiver;
  archiver.Password = kArchivePassword;
  archiver.FileName = arquivo;
  archiver.OpenArchive(OpenMode::kRead);
  if (options.comment) *options.comment = archiver.comment();
  std::string folder = destino;
  if (folder.empty()) {
    const auto cut = arquivo.find_last_of("/\\:");
    folder = cut == std::string::npos ? std::string() : arquivo.substr(0, cut + 1);
  }
  archiver.BaseDir = folder;
  if (options.only_member) {
    const auto index = archiver.FindRootItem(*options.only_member);
    if (!index) {
      throw EArchiveError("File \"" + *options.only_member + "\" is not in the archive",
                          kNativeMemberMissing, kMsgMemberMissing);
    }
    // The directory's size is the most the member may inflate to (a longer
    // one is refused as corrupt while it is read), so it bounds the disk.
    const std::uint64_t size = archiver.items().at(*index).uncompressed_size;
    if (options.max_member_bytes > 0 && size > options.max_member_bytes) {
      throw platform::Error("o arquivo " + *options.only_member + " descompactado teria " +
                            std::to_string(size) + " bytes, mais que " + options.ceiling_text);
    }
    if (options.free_margin_bytes > 0) {
      RequireFreeSpace(folder.empty() ? "." : folder, size + options.free_margin_bytes);
    }
    archiver.ExtractItem(*index, *options.only_member);
  } else {
    archiver.ExtractFiles("*.*", kSearchAttrAll, "");
  }
  archiver.CloseArchive();
}

}  // namespace quilvane::archive
