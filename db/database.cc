#include "db/database.h"

#include <algorithm>
#include <optional>
#include <thread>

#include "db/convert.h"
#include "db/error.h"
#include "db/fbclient.h"
#include "db/handles.h"
#include "db/reconnection.h"
#include "platform/codepage.h"
#include "platform/library.h"
#include "platform/text.h"

namespace quilvane::db {
namespace {

FbClient& SharedClient() {
  // Loaded once for the process; it stays loaded until the process ends.
  static FbClient* client = new FbClient();
  return *client;
}

std::vector<std::string>& LibraryNames() {
  static std::vector<std::string> names = FbClient::DefaultLibraryNames();
  return names;
}

void AppendText(std::string& dpb, char code, std::string_view text) {
  const std::string bytes = platform::Utf8ToAnsi(text);
  const size_t n = std::min<size_t>(bytes.size(), 255);
  dpb += code;
  dpb += static_cast<char>(n);
  dpb.append(bytes, 0, n);
}

void AppendNumber(std::string& dpb, char code, std::uint32_t value) {
  dpb += code;
  const int length = value <= 0xFF ? 1 : value <= 0xFFFF ? 2 : 4;
  dpb += static_cast<char>(length);
  for (int i = 0; i < length; ++i) dpb += static_cast<char>((value >> (8 * i)) & 0xFF);
}

}  // namespace

Database::Database(platform::Env& env) : env_(env), state_(std::make_unique<State>()) {}

Database::~Database() {
  try {
    Disconnect();
  } catch (...) {
    // A destructor reports nothing; the attachment is released regardless.
  }
}

void Database::SetParam(std::string_view name, std::string_view value) {
  auto it = std::find_if(params_.begin(), params_.end(), [&](const auto& p) {
    return platform::EqualsIgnoreAsciiCase(p.first, name);
  });
  if (value.empty()) {
    if (it != params_.end()) params_.erase(it);
  } else if (it != params_.end()) {
    it->second = std::string(value);
  } else {
    params_.emplace_back(std::string(name), std::string(value));
  }
}

std::optional<std::string> Database::Param(std::string_view name) const {
  for (const auto& [n, v] : params_) {
    if (platform::EqualsIgnoreAsciiCase(n, name)) return v;
  }
  return std::nullopt;
}

std::string Database::AttachString() const {
  std::string out = Param("Server").value_or("");
  if (auto port = Param("Port")) out += "/" + *port;
  out += ":";
  out += Param("Database").value_or("");
  return out;
}

std::string Database::BuildDpb(bool utf8_filename) const {
  std::string dpb(1, static_cast<char>(isc_dpb_version1));
  if (auto user = Param("User_Name")) AppendText(dpb, isc_dpb_user_name, *user);
  if (auto password = Param("Password")) AppendText(dpb, isc_dpb_password, *password);
  if (auto charset = Param("CharacterSet")) AppendText(dpb, isc_dpb_lc_ctype, *charset);
  AppendNumber(dpb, isc_dpb_sql_dialect, 3);
  if (utf8_filename) {
    dpb += static_cast<char>(isc_dpb_utf8_filename);
    dpb += '\0';
  }
  return dpb;
}

bool Database::Connected() const { return state_->handle != 0; }

FbClient& Database::client() { return SharedClient(); }

void Database::SetClientLibraryNamesForTesting(std::vector<std::string> names) {
  LibraryNames() = std::move(names);
}

void Database::UnloadClientLibraryForTesting() { SharedClient().Unload(); }

void Database::RunStep(const std::function<void()>& step) {
  RunWithReconnection(
      step, [this](const DbError& e) { RecoverOrThrow(e); },
      [this](const DbError& e) { AbandonAndThrow(e); });
}

void Database::Register(Transaction* t) { transactions_.push_back(t); }
void Database::Unregister(Transaction* t) { std::erase(transactions_, t); }
void Database::Register(Query* q) { queries_.push_back(q); }
void Database::Unregister(Query* q) { std::erase(queries_, q); }

void Database::Connect() {
  if (Connected()) return;
  if (!SharedClient().loaded()) {
    // The client turns UTF-8 file names into the system's encoding through
    // the process's locale, fixed at its first use; a service is left at
    // "C", where any accent in Caminho fails.
    platform::EnsureUtf8CharacterType();
  }
  SharedClient().Load(LibraryNames());
  AttachWithRetries();
}

void Database::Attach() {
  FbClient& fb = SharedClient();
  std::string target = AttachString();
  if (!fb.utf8_filenames()) target = platform::Utf8ToAnsi(target);
  const std::string dpb = BuildDpb(fb.utf8_filenames());
  if (target.size() > 32767) throw DbError("The database path is too long");
  ISC_STATUS_ARRAY status = {};
  isc_db_handle handle = 0;
  ++attach_attempts_;
  fb.attach_database(status, static_cast<short>(target.size()), target.c_str(), &handle,
                     static_cast<short>(dpb.size()), dpb.data());
  if (HasError(status)) {
    if (handle != 0) {
      ISC_STATUS_ARRAY ignored = {};
      fb.detach_database(ignored, &handle);
    }
    throw fb.ErrorFromStatus(status);
  }
  state_->handle = handle;
}

void Database::AttachWithRetries() {
  // The first attempt, then three retries for a lost connection: the first
  // at once, the next two after a pause.
  for (int attempt = 0;; ++attempt) {
    try {
      Attach();
      return;
    } catch (const DbError& e) {
      if (!e.lost_connection() || attempt == 3) throw;
      if (attempt >= 1) std::this_thread::sleep_for(retry_pause_);
    }
  }
}

void Database::DropAttachment() {
  for (Query* q : queries_) q->Drop();
  for (Transaction* t : transactions_) t->Drop();
  if (state_->handle != 0) {
    ISC_STATUS_ARRAY ignored = {};
    SharedClient().detach_database(ignored, &state_->handle);
    state_->handle = 0;
  }
}

void Database::RecoverOrThrow(const DbError& error) {
  const bool would_lose =
      std::any_of(transactions_.begin(), transactions_.end(),
                  [](const Transaction* t) { return t->uncommitted_statements() > 0; }) ||
      std::any_of(queries_.begin(), queries_.end(),
                  [](const Query* q) { return q->HoldsOpenCursor(); });
  if (would_lose) AbandonAndThrow(error);

  std::vector<Transaction*> restart;
  for (Transaction* t : transactions_) {
    if (t->InTransaction() && t->mode() == Transaction::Mode::kExplicit) restart.push_back(t);
  }
  DropAttachment();
  AttachWithRetries();
  for (Transaction* t : restart) t->StartRaw();
}

void Database::AbandonAndThrow(const DbError& error) {
  for (Query* q : queries_) q->MarkCursorLost(error.what());
  DropAttachment();
  throw error;
}

void Database::Disconnect() {
  if (!Connected()) return;
  FbClient& fb = SharedClient();
  std::optional<DbError> first_failure;
  // A connection already lost loses nothing more at release or detach, nor
  // for a transaction without writes: only a lost commit of work counts.
  auto note = [&](const ISC_STATUS* status, bool loss_matters) {
    if (!HasError(status) || first_failure) return;
    DbError error = fb.ErrorFromStatus(status);
    if (error.lost_connection() && !loss_matters) return;
    first_failure = std::move(error);
  };

  for (Query* q : queries_) {
    ISC_STATUS_ARRAY status = {};
    q->ReleaseQuietly(status);
    note(status, false);
    q->ResetAfterDisconnect();
  }
  for (Transaction* t : transactions_) {
    if (!t->InTransaction()) continue;
    const bool has_work = t->uncommitted_statements() > 0;
    ISC_STATUS_ARRAY status = {};
    t->CommitQuietly(status);
    note(status, has_work);
  }
  ISC_STATUS_ARRAY status = {};
  fb.detach_database(status, &state_->handle);
  note(status, false);
  // Disconnected whatever failed: the attachment is not used again.
  state_->handle = 0;
  for (Transaction* t : transactions_) t->Drop();
  if (first_failure) throw *first_failure;
}

}  // namespace quilvane::db
