#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/env.h"
#include "platform/error.h"

namespace quilvane::archive {

// The password of the exchange archive, the same at every site.
inline constexpr char kArchivePassword[] = "3620!#58-QZ&*+";

// Packs `arquivo_origem` into the archive beside it (ArchivePathFor), replacing
// an older one. `comment`, when given, is called once the member is written
// and its result becomes the archive comment (so the caller may compute it
// while the file is deflated); without it the archive has none. On failure
// (what `comment` throws included) deletes the partial archive and throws
// (an EArchiveError, or the platform::Error of the file that failed).
// `env` gives the time of a member whose file has none and seeds the
// encryption header.
void Pack(const std::string& arquivo_origem, platform::Env& env,
          const std::function<std::string()>& comment = {});

struct UnpackOptions {
  // When set, extract only the member with this name (ASCII case ignored, at the archive's root)
  // and fail naming it when it is missing; otherwise extract every member.
  std::optional<std::string> only_member;
  // When set, receives the archive's comment (empty when it has none).
  std::string* comment = nullptr;
  // A member that would inflate past this many bytes is refused before a
  // byte is written (0: no ceiling); `ceiling_text` names the setting.
  std::uint64_t max_member_bytes = 0;
  std::string ceiling_text;
  // Bytes that must stay free beside the members once they are written.
  std::uint64_t free_margin_bytes = 0;
};

// Too little room on the volume for what is about to be written.
class NoRoomError : public platform::Error {
 public:
  using platform::Error::Error;
};
// Throws NoRoomError unless the volume holding `dir` has `bytes` free. A
// volume whose free space the system cannot tell is not refused.
void RequireFreeSpace(const std::string& dir, std::uint64_t bytes);
// Extracts `arquivo` into folder `destino` (empty: the archive's own folder).
// Throws on failure, leaving no partial output behind.
void Unpack(const std::string& arquivo, const std::string& destino,
            const UnpackOptions& options = {});

// The archive's path for a source: the part after the last "." of the file
// name replaced by "ZIP" (".ZIP" appended when the name has no extension).
std::string ArchivePathFor(const std::string& arquivo_origem);

}  // namespace quilvane::archive
