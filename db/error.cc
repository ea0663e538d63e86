#include "db/error.h"

namespace quilvane::db {

bool IsLostConnectionCode(std::int64_t code) {
  switch (code) {
    case 335544375:  // unavailable
    case 335544528:  // shutdown
    case 335544648:  // conn_lost
    case 335544741:  // lost_db_connection
    case 335544856:  // att_shutdown
      return true;
    default:
      // network_error, net_connect_err, net_connect_listen_err,
      // net_event_connect_err, net_event_listen_err, net_read_err,
      // net_write_err
      return code >= 335544721 && code <= 335544727;
  }
}

bool DbError::lost_connection() const { return IsLostConnectionCode(status_code_); }

}  // namespace quilvane::db
