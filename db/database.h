#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/env.h"

namespace quilvane::db {

class Transaction;
class Query;
class FbClient;
class DbError;

// One connection to a Firebird database over TCP/IP through the client
// library, which is loaded at the first Connect and stays loaded (a failed
// load is tried again at the next Connect). Settings are an ordered list of
// name=value parameters. Transactions and queries register themselves with
// the connection they are built on; it must outlive them.
//
// A lost connection (see IsLostConnectionCode) while attaching is retried
// three times, the second and third retry after a pause. While connected, a
// statement or transaction start that loses the connection is repeated on a
// fresh attachment, but only when nothing uncommitted or unread would be
// lost; otherwise it fails and the connection ends disconnected.
//
// Queries read the clock and the regional settings from `env`, which must
// outlive the connection.
class Database {
 public:
  explicit Database(platform::Env& env);
  ~Database();  // disconnects, swallowing errors
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // Non-empty value: replaces the line with that name (letter case ignored)
  // or appends one. Empty value: removes the line.
  void SetParam(std::string_view name, std::string_view value);
  std::optional<std::string> Param(std::string_view name) const;
  const std::vector<std::pair<std::string, std::string>>& params() const { return params_; }

  // Server + "/" + Port + ":" + Database, absent parts left out (the "/"
  // goes with the port, the ":" always stays).
  std::string AttachString() const;
  // The database parameter buffer for this connection's parameters.
  // `utf8_filename` adds isc_dpb_utf8_filename (client 2.5 or later).
  std::string BuildDpb(bool utf8_filename) const;

  // Attaches. Throws DbError (library, entry points, attach failure after the
  // retries). Connecting an already connected database does nothing. Before
  // the client is first loaded, LC_CTYPE is made UTF-8 (POSIX), since the
  // client converts UTF-8 file names through the process's locale.
  void Connect();
  // Closes every query, releases statements, commits every active
  // transaction, detaches. Ends disconnected even when a commit or the
  // detach fails; the first such failure is then thrown as DbError (a lost
  // connection counts only where it lost written, uncommitted work).
  void Disconnect();
  bool Connected() const;

  platform::Env& env() const { return env_; }

  // Calls of isc_attach_database since construction (the retries included).
  int attach_attempts() const { return attach_attempts_; }

  // Pause before the second and third attach retry (3000 ms).
  void set_retry_pause(std::chrono::milliseconds pause) { retry_pause_ = pause; }

  // The names tried, in order, when loading the client library (on Linux
  // "libfbclient.so.2", "libfbclient.so"). Affects later loads only; for
  // tests of a library that cannot be loaded.
  static void SetClientLibraryNamesForTesting(std::vector<std::string> names);
  // Forgets the loaded library so that the next Connect loads again.
  static void UnloadClientLibraryForTesting();

 private:
  friend class Transaction;
  friend class Query;
  struct State;  // the attachment's client-side handles (db/fbclient.h)

  FbClient& client();
  // Runs one step of a statement or transaction under the reconnection
  // policy (db/reconnection.h), with RecoverOrThrow and AbandonAndThrow.
  void RunStep(const std::function<void()>& step);
  void Register(Transaction* t);
  void Unregister(Transaction* t);
  void Register(Query* q);
  void Unregister(Query* q);
  // A step met a lost connection. When nothing uncommitted or unread can be
  // lost, attaches again (the old attachment's handles are dropped and the
  // transactions that were active are started again) and returns, so the
  // caller repeats the step. Otherwise drops the attachment and throws
  // `error`.
  void RecoverOrThrow(const DbError& error);
  // Drops the attachment without ending anything (the server has discarded
  // it already) and throws `error`.
  [[noreturn]] void AbandonAndThrow(const DbError& error);
  void Attach();
  void AttachWithRetries();
  void DropAttachment();

  platform::Env& env_;
  std::vector<std::pair<std::string, std::string>> params_;
  std::unique_ptr<State> state_;
  std::chrono::milliseconds retry_pause_{3000};
  int attach_attempts_ = 0;
  std::vector<Transaction*> transactions_;
  std::vector<Query*> queries_;
};

}  // namespace quilvane::db
