#include "sync/receipt_sender.h"

#include <exception>
#include <optional>

#include "platform/file.h"
#include "platform/temporary_file.h"
#include "sync/receipt.h"

namespace quilvane::sync {
namespace {

constexpr char kNameKey[] = "destino=";
constexpr char kLoggedKey[] = "falha_registrada=";

struct Pending {
  std::string name;
  bool failure_logged = false;
  std::string bytes;
};

std::string Serialize(const Pending& p) {
  return kNameKey + p.name + "\r\n" + kLoggedKey + (p.failure_logged ? "1" : "0") + "\r\n\r\n" +
         p.bytes;
}

// A name the server will take as one file in the receipts folder.
bool PlainName(const std::string& name) {
  if (name.empty() || name.size() > 100 || name[0] == '.') return false;
  for (char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
    if (!ok) return false;
  }
  return true;
}

// nullopt for a file this program did not write whole.
std::optional<Pending> Parse(const std::string& text) {
  const size_t end1 = text.find("\r\n");
  if (end1 == std::string::npos || text.compare(0, sizeof kNameKey - 1, kNameKey) != 0) {
    return std::nullopt;
  }
  const size_t start2 = end1 + 2;
  const size_t end2 = text.find("\r\n", start2);
  if (end2 == std::string::npos || text.compare(end2, 4, "\r\n\r\n") != 0) return std::nullopt;
  const std::string logged = text.substr(start2, end2 - start2);
  Pending p;
  p.name = text.substr(sizeof kNameKey - 1, end1 - (sizeof kNameKey - 1));
  if (logged == std::string(kLoggedKey) + "1") {
    p.failure_logged = true;
  } else if (logged != std::string(kLoggedKey) + "0") {
    return std::nullopt;
  }
  p.bytes = text.substr(end2 + 4);
  if (!PlainName(p.name) || p.bytes.size() > kMaxReceiptBytes) return std::nullopt;
  return p;
}

void LogQuietly(platform::Logger& log, const std::string& line) {
  try {
    log.DoSaveLog(line);
  } catch (const std::exception&) {
  }
}

void Attempt(const std::string& dir, Pending pending, const StoreReceiptFn& store,
             platform::Logger& log) {
  const std::string path = PendingReceiptPath(dir);
  platform::TemporaryFile upload(path + ".txt");
  try {
    platform::WriteFileAtomically(upload.path(), pending.bytes);
    store(upload.path(), pending.name);
  } catch (const std::exception& e) {
    upload.Remove();
    if (pending.failure_logged) return;
    LogQuietly(log, std::string("Falha ao enviar o recibo: ") + e.what());
    pending.failure_logged = true;
    try {
      platform::WriteFileAtomically(path, Serialize(pending));
    } catch (const std::exception&) {
    }
    return;
  }
  upload.Remove();
  platform::DeleteFile(path);
  if (pending.failure_logged) LogQuietly(log, "Recibo pendente enviado.");
}

}  // namespace

void SendReceipt(const std::string& dir, const std::string& name, const std::string& bytes,
                 const StoreReceiptFn& store, platform::Logger& log) {
  Pending pending{name, false, bytes};
  try {
    // A failure already logged stays logged: a branch whose FTP side is
    // down would otherwise log it at every cycle.
    const std::string path = PendingReceiptPath(dir);
    if (platform::FileExists(path)) {
      if (auto earlier = Parse(platform::ReadFileToString(path))) {
        pending.failure_logged = earlier->failure_logged;
      }
    }
    platform::WriteFileAtomically(path, Serialize(pending));
  } catch (const std::exception& e) {
    // Not kept: it is still stored now if the server takes it.
    LogQuietly(log, std::string("Falha ao guardar o recibo: ") + e.what());
  }
  try {
    Attempt(dir, pending, store, log);
  } catch (const std::exception&) {
  }
}

void SendPendingReceipt(const std::string& dir, const StoreReceiptFn& store,
                        platform::Logger& log) {
  try {
    const std::string path = PendingReceiptPath(dir);
    if (!platform::FileExists(path)) return;
    std::optional<Pending> pending = Parse(platform::ReadFileToString(path));
    if (!pending) {
      platform::DeleteFile(path);
      LogQuietly(log, "Recibo pendente ilegível descartado: " + path);
      return;
    }
    Attempt(dir, *pending, store, log);
  } catch (const std::exception& e) {
    LogQuietly(log, std::string("Falha ao enviar o recibo: ") + e.what());
  }
}

}  // namespace quilvane::sync
