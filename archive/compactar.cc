#include "archive/compactar.h"

#include "archive/archive_error.h"
#include "archive/zip_archiver.h"
#include "platform/disk_space.h"
#include "platform/file.h"
#include "platform/path.h"
#include "platform/temporary_file.h"

namespace quilvane::archive {

std::string ArchivePathFor(const std::string& arquivo_origem) {
  const std::string name = platform::FileNameOf(arquivo_origem);
  const auto dot = name.rfind('.');
  if (dot == std::string::npos) return arquivo_origem + ".ZIP";
  return arquivo_origem.substr(0, arquivo_origem.size() - name.size() + dot) + ".ZIP";
}

void Pack(const std::string& arquivo_origem, platform::Env& env,
          const std::function<std::string()>& comment) {
  const std::string archive_path = ArchivePathFor(arquivo_origem);
  // An old archive never passes for this one, nor does one that failed half
  // way (removed once the archiver below has closed it).
  platform::TemporaryFile(archive_path).Remove();
  platform::TemporaryFile archive(archive_path);
  {
    TZipArchiver archiver(env);
    archiver.Password = kArchivePassword;
    archiver.FileName = archive_path;
    archiver.OpenArchive(OpenMode::kCreate);
    archiver.BaseDir = platform::FolderWithoutSeparator(arquivo_origem);
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
  }
  archive.Keep();
}

void Unpack(const std::string& arquivo, const std::string& destino, const UnpackOptions& options) {
  TZipArchiver archiver;
  archiver.Password = kArchivePassword;
  archiver.FileName = arquivo;
  archiver.OpenArchive(OpenMode::kRead);
  if (options.comment) *options.comment = archiver.comment();
  std::string folder = destino;
  if (folder.empty()) folder = platform::FolderOf(arquivo);
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
      platform::RequireFreeSpace(folder.empty() ? "." : folder, size + options.free_margin_bytes);
    }
    archiver.ExtractItem(*index, *options.only_member);
  } else {
    archiver.ExtractFiles("*.*", kSearchAttrAll, "");
  }
  archiver.CloseArchive();
}

}  // namespace quilvane::archive
