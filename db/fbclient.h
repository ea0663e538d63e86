#pragma once

// The Firebird client library's entry points, looked up by their exported
// names in the library loaded at run time. Internal to the database layer.

#include <ibase.h>

#include <string>
#include <vector>

#include "db/error.h"
#include "platform/library.h"

namespace quilvane::db {

class FbClient {
 public:
  FbClient() = default;
  // The client runs threads of its own: it stays loaded once loaded.
  ~FbClient() { lib_.KeepLoaded(); }
  FbClient(FbClient&&) = default;
  FbClient& operator=(FbClient&&) = default;

  // The names tried in order by Load() on this platform.
  static std::vector<std::string> DefaultLibraryNames();

  // Loads the first of `names` that loads and looks up the entry points.
  // Throws DbError with the operator's text when none loads or an entry
  // point is missing; the object then stays unloaded.
  void Load(const std::vector<std::string>& names);
  bool loaded() const { return lib_.loaded(); }
  void Unload();

  // Client version 2.5 or later: UTF-8 file names are understood.
  bool utf8_filenames() const { return utf8_filenames_; }

  // The status vector as a DbError: one line per interpreted message, CR LF
  // between them, then the SQL code's text for a code other than 0 and -999.
  DbError ErrorFromStatus(const ISC_STATUS* status) const;
  // Throws ErrorFromStatus when the status holds an error.
  void Check(const ISC_STATUS* status) const;

  decltype(&::isc_attach_database) attach_database = nullptr;
  decltype(&::isc_detach_database) detach_database = nullptr;
  decltype(&::isc_start_multiple) start_multiple = nullptr;
  decltype(&::isc_commit_transaction) commit_transaction = nullptr;
  decltype(&::isc_rollback_transaction) rollback_transaction = nullptr;
  decltype(&::isc_dsql_allocate_statement) dsql_allocate_statement = nullptr;
  decltype(&::isc_dsql_prepare) dsql_prepare = nullptr;
  decltype(&::isc_dsql_describe) dsql_describe = nullptr;
  decltype(&::isc_dsql_describe_bind) dsql_describe_bind = nullptr;
  decltype(&::isc_dsql_execute) dsql_execute = nullptr;
  decltype(&::isc_dsql_fetch) dsql_fetch = nullptr;
  decltype(&::isc_dsql_sql_info) dsql_sql_info = nullptr;
  decltype(&::isc_dsql_free_statement) dsql_free_statement = nullptr;
  decltype(&::fb_interpret) interpret = nullptr;
  decltype(&::isc_sqlcode) sqlcode = nullptr;
  decltype(&::isc_sql_interprete) sql_interprete = nullptr;

 private:
  platform::DynamicLibrary lib_;
  bool utf8_filenames_ = false;
};

// "a", "a or b", "a, b or c".
std::string JoinLibraryNames(const std::vector<std::string>& names);

// The text of a failed load: "Cannot load vendor library [names]. " then,
// per name found with another architecture, its architecture line and CR LF,
// then the last system text (CR LF after it unless it ends in CR, LF or
// "."), then the hint with the process's bitness.
std::string LibraryLoadMessage(const std::vector<std::string>& names,
                               const std::vector<std::pair<std::string, std::string>>& foreign,
                               const std::string& last_error);

}  // namespace quilvane::db
