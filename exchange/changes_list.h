#pragma once

#include <span>
#include <string>
#include <string_view>

#include "exchange/change_store.h"
#include "platform/datetime.h"

// The changes list: what an import with SomenteAlterados changed, one file a
// day in the site's changes folder, for the store's spreadsheet or its label
// software. Windows-1252 without a byte-order mark, CR LF, fields
// separated by ";": a header, then one line per changed column of a changed
// product (code; column; value before; value after), values as the database
// reads them (numbers with the regional decimal separator).

namespace quilvane::exchange {

inline constexpr std::string_view kChangesListHeader = "CODIGO;COLUNA;ANTES;DEPOIS\r\n";
// Lists of days further back than this are removed.
inline constexpr int kChangesListDays = 60;

// "<folder><sep><AAAAMMDD>.csv"; `folder` is the site's changes folder.
std::string ChangesListPath(const std::string& folder, platform::DateTime day);

// The lines of `changes`, without the header. A field holding ";", '"', CR
// or LF is quoted, its quotes doubled.
std::string FormatChanges(std::span<const Change> changes);
std::string FormatChanges(const ChangeRange& changes);

// Adds `changes` to the list of `day`, created with its header (and the
// folder) when missing, so a day applied in several attempts keeps the
// changes of each. The file is replaced atomically. Throws platform::Error.
void WriteChangesList(const std::string& folder, platform::DateTime day,
                      std::span<const Change> changes);
void WriteChangesList(const std::string& folder, platform::DateTime day,
                      const ChangeRange& changes);

// Deletes the lists named for a day more than kChangesListDays before
// `today`; other files are left alone. Returns how many were deleted; throws
// platform::Error when the folder cannot be read or a list deleted.
int RemoveOldChangesLists(const std::string& folder, platform::DateTime today);

}  // namespace quilvane::exchange
