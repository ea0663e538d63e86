#pragma once

// Recovery of the directory when the end record does not lead to it: the
// local headers found by a scan of the whole file, and the shift of offsets
// recorded without a stub that now stands in front of the archive.
#include <cstdint>
#include <vector>

#include "archive/archive_file.h"
#include "archive/dir_item.h"

namespace quilvane::archive {

// When the first member's local header lies further on than its recorded
// offset (a stub in front), moves every file member's offset by that much.
void ResolvePrefix(ArchiveFile& file, std::vector<DirItem>& items, std::int64_t directory_start);

// The members whose local headers a scan finds, sizes of streamed members
// from their data descriptors; empty when there is none.
std::vector<DirItem> RebuildDirectory(ArchiveFile& file);

}  // namespace quilvane::archive
