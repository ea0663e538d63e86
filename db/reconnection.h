#pragma once

// The reconnection policy of a connection's statements and transactions.
// Internal to the database layer; pure, so that it is tested without a server.

#include <utility>

#include "db/error.h"

namespace quilvane::db {

// Runs one step (a statement's prepare and execute, a transaction's start).
// When it loses the connection, `recover(error)` either attaches again,
// because nothing uncommitted or unread would be lost with the old
// attachment, and returns, or throws; the step then runs once more. When that
// second run loses the connection too, `abandon(error)` gives the attachment
// up and throws. Any other error goes through unchanged.
template <typename Step, typename Recover, typename Abandon>
void RunWithReconnection(Step&& step, Recover&& recover, Abandon&& abandon) {
  try {
    step();
    return;
  } catch (const DbError& e) {
    if (!e.lost_connection()) throw;
    recover(e);
  }
  try {
    step();
  } catch (const DbError& e) {
    if (e.lost_connection()) abandon(e);
    throw;
  }
}

}  // namespace quilvane::db
