#include "db/fbclient.h"

#include "db/convert.h"

#include <utility>

#include "platform/codepage.h"

namespace quilvane::db {
namespace {

template <typename Fn>
void Bind(const platform::DynamicLibrary& lib, const char* name, Fn& fn, std::string& missing) {
  fn = reinterpret_cast<Fn>(lib.Symbol(name));
  if (fn == nullptr) {
    if (!missing.empty()) missing += "\r\n";
    missing += name;
  }
}

}  // namespace

std::vector<std::string> FbClient::DefaultLibraryNames() {
#if defined(_WIN32)
  return {"fbclient.dll", "fbembed.dll"};
#elif defined(__APPLE__)
  return {"libfbclient.dylib", "libfbembed.dylib"};
#else
  return {"libfbclient.so.2", "libfbclient.so"};
#endif
}

std::string JoinLibraryNames(const std::vector<std::string>& names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += (i + 1 == names.size()) ? " or " : ", ";
    out += names[i];
  }
  return out;
}

std::string LibraryLoadMessage(const std::vector<std::string>& names,
                               const std::vector<std::pair<std::string, std::string>>& foreign,
                               const std::string& last_error) {
  const std::string required = platform::ProcessArchitecture();
  std::string details;
  for (const auto& [name, arch] : foreign) {
    details +=
        name + " has unsupported architecture [" + arch + "]. Required [" + required + "].\r\n";
  }
  details += last_error;
  if (last_error.empty() ||
      (last_error.back() != '\r' && last_error.back() != '\n' && last_error.back() != '.')) {
    details += "\r\n";
  }
  return "Cannot load vendor library [" + JoinLibraryNames(names) + "]. " + details +
         "Hint: check it is in the PATH or application EXE directories, and has " + required +
         " bitness.";
}

void FbClient::Load(const std::vector<std::string>& names) {
  if (lib_.loaded()) return;
  platform::DynamicLibrary lib;
  std::vector<std::pair<std::string, std::string>> foreign;
  std::string last_error;
  for (const std::string& name : names) {
    platform::LibraryLoadFailure failure;
    lib = platform::DynamicLibrary::Load(name, &failure);
    if (lib.loaded()) break;
    if (!failure.foreign_architecture.empty())
      foreign.emplace_back(name, failure.foreign_architecture);
    last_error = failure.message;
  }
  if (!lib.loaded()) throw DbError(LibraryLoadMessage(names, foreign, last_error));

  std::string missing;
  Bind(lib, "isc_attach_database", attach_database, missing);
  Bind(lib, "isc_detach_database", detach_database, missing);
  Bind(lib, "isc_start_multiple", start_multiple, missing);
  Bind(lib, "isc_commit_transaction", commit_transaction, missing);
  Bind(lib, "isc_rollback_transaction", rollback_transaction, missing);
  Bind(lib, "isc_dsql_allocate_statement", dsql_allocate_statement, missing);
  Bind(lib, "isc_dsql_prepare", dsql_prepare, missing);
  Bind(lib, "isc_dsql_describe", dsql_describe, missing);
  Bind(lib, "isc_dsql_describe_bind", dsql_describe_bind, missing);
  Bind(lib, "isc_dsql_execute", dsql_execute, missing);
  Bind(lib, "isc_dsql_fetch", dsql_fetch, missing);
  Bind(lib, "isc_dsql_sql_info", dsql_sql_info, missing);
  Bind(lib, "isc_dsql_free_statement", dsql_free_statement, missing);
  Bind(lib, "fb_interpret", interpret, missing);
  Bind(lib, "isc_sqlcode", sqlcode, missing);
  Bind(lib, "isc_sql_interprete", sql_interprete, missing);
  if (!missing.empty()) {
    *this = FbClient();
    throw DbError("Cannot get vendor library entry point[s]. [" + missing + "]");
  }

  // The client's version decides whether file names travel in UTF-8
  // (2.5 and later). A client too old to tell its version is older still.
  using VersionFn = int (*)();
  auto major = reinterpret_cast<VersionFn>(lib.Symbol("isc_get_client_major_version"));
  auto minor = reinterpret_cast<VersionFn>(lib.Symbol("isc_get_client_minor_version"));
  utf8_filenames_ = false;
  if (major != nullptr && minor != nullptr) {
    const int ma = major();
    const int mi = minor();
    utf8_filenames_ = ma > 2 || (ma == 2 && mi >= 5);
  }
  lib_ = std::move(lib);
}

void FbClient::Unload() {
  lib_.KeepLoaded();
  *this = FbClient();
}

DbError FbClient::ErrorFromStatus(const ISC_STATUS* status) const {
  std::string text;
  const ISC_STATUS* cursor = status;
  char buffer[1024];
  while (interpret(buffer, sizeof buffer, &cursor) > 0) {
    if (!text.empty()) text += "\r\n";
    text += buffer;
  }
  const ISC_LONG code = sqlcode(status);
  if (code != 0 && code != -999) {
    buffer[0] = '\0';
    sql_interprete(static_cast<short>(code), buffer, sizeof buffer);
    text += "\r\n";
    text += buffer;
  }
  const std::int64_t first = (status[0] == isc_arg_gds) ? status[1] : 0;
  // The client's texts carry values in the connection's character set.
  return DbError(convert::DbTextToUtf8(text), first, code);
}

void FbClient::Check(const ISC_STATUS* status) const {
  if (status[0] == 1 && status[1] != 0) throw ErrorFromStatus(status);
}

}  // namespace quilvane::db
