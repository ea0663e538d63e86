#pragma once

#include <optional>
#include <string>

#include "sync/log.h"

namespace quilvane::archive {

// The password of the exchange archive, the same at every site.
inline constexpr char kArchivePassword[] = "3620!#58-QZ&*+";

// Packs `arquivo_origem` into the archive beside it (its extension replaced by ".ZIP").
// Logs "Falha ao compactar o arquivo: " + message on failure, deletes a partial archive, returns false.
bool CompactarArquivo(const std::string& arquivo_origem, sync::Log& log);

struct UnpackOptions {
  // When set, extract only the member with this name (ASCII case ignored, at the archive's root)
  // and fail naming it when it is missing; otherwise extract every member.
  std::optional<std::string> only_member;
};
// Extracts `arquivo` into folder `destino`. Logs "Falha ao descompactar o arquivo: " + message on
// failure and returns false (no partial output left behind).
bool DescompactarArquivo(const std::string& arquivo, const std::string& destino, sync::Log& log,
                         const UnpackOptions& options = {});

// The archive's path for a source: the part after the last "." of the file
// name replaced by "ZIP" (".ZIP" appended when the name has no extension).
std::string ArchivePathFor(const std::string& arquivo_origem);

}  // namespace quilvane::archive
