#pragma once

#include <functional>
#include <string>

#include "platform/logger.h"
#include "sync/site_files.h"

namespace quilvane::sync {

// A receipt waits beside the program, in PendingReceiptPath, until the
// exchange server has it: a branch whose FTP side is down still reports the
// cycle once it is back, even after its day is done. The file holds the
// remote name, whether its failure was logged, a blank line, then the
// receipt's bytes.

// Stores the local file as the receipt `name`; throws on failure.
using StoreReceiptFn = std::function<void(const std::string& local_path, const std::string& name)>;

// Keeps `bytes` as the pending receipt `name`, replacing any earlier one,
// and tries to store it. Never throws: a failure is logged once, as
// "Falha ao enviar o recibo: " + message, until a store works again.
void SendReceipt(const std::string& dir, const std::string& name, const std::string& bytes,
                 const StoreReceiptFn& store, platform::Logger& log);

// Tries to store the pending receipt, when there is one. Never throws.
void SendPendingReceipt(const std::string& dir, const StoreReceiptFn& store, platform::Logger& log);

}  // namespace quilvane::sync
