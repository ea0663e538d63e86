#pragma once

#include <string>

#include "exchange/import.h"
#include "platform/datetime.h"
#include "sync/settings.h"

namespace quilvane::sync {

// The work the cycle calls, with the contracts it relies on. The service
// module's real implementation reaches the database, the archive and the
// exchange server; tests script it.
class Operations {
 public:
  virtual ~Operations() = default;

  // Called once a cycle, after the settings were read and before any other
  // operation: the exchange-server keys may have changed.
  virtual void Configure(const Settings& settings) = 0;

  // true: connected. false: the failure is already logged.
  virtual bool ConectarBanco() = 0;

  // Opens `TBPadrao` and returns the `CGC` of its first row as text: empty
  // for an empty table or a NULL. Throws when the query cannot be opened.
  virtual std::string PadraoCgc() = 0;

  // Writes the exchange file whole, or throws without leaving it.
  virtual void ExportPrices(const std::string& arquivo_script, bool preco_farmacia_popular) = 0;

  // true: the archive beside `arquivo_origem` holds it. false: logged, and
  // no archive file is left.
  virtual bool CompactarArquivo(const std::string& arquivo_origem) = 0;

  // true: stored on the exchange server. false: logged. Throws for failures
  // between connecting and storing.
  virtual bool Upload(const std::string& arquivo) = 0;

  // The address a branch downloads the archive of the head office whose
  // CNPJ digits are `digits` from.
  virtual std::string DownloadSource(const std::string& digits) = 0;

  // true: the archive was fetched and the exchange file unpacked beside the
  // executable. false: logged. May throw.
  virtual bool DownloadFile(const std::string& source, const std::string& dest,
                            bool descompactar) = 0;

  // Extracts the member `member` (the exchange file's name) of the archive
  // `arquivo` into the site's folder and keeps the archive's comment for the
  // signature check of the next ImportPrices of that file. true: extracted;
  // false: logged.
  virtual bool UnpackExchangeFile(const std::string& arquivo, const std::string& member) = 0;

  // Applies the exchange file when it is newer than `data_ultima` and
  // records its date; throws on failure. With keys in `ChavePublica`, the
  // file must come from UnpackExchangeFile (or the download) with a comment
  // that signs it, checked before its first statement; otherwise throws
  // InvalidSignatureError (sync/signed_exchange.h) with nothing applied.
  // The signature, the line check and the statements all read one private
  // copy of the file taken first, so a file replaced at its path meanwhile
  // is never what runs.
  virtual exchange::ImportResult ImportPrices(const std::string& arquivo_script,
                                              platform::DateTime data_ultima,
                                              const exchange::ImportOptions& options) = 0;

  // The fleet view; a site without it does nothing here. Both throw on
  // failure and connect and disconnect on their own.
  // Stores the local file `local_path` as the receipt `name`.
  virtual void StoreReceipt(const std::string& /*local_path*/, const std::string& /*name*/) {}
  // Reads every branch's receipt and writes and stores the status page.
  virtual void PublishStatus() {}

  // Cleanup steps; closing what is not open does nothing.
  virtual void CloseQueries() = 0;
  virtual void Disconnect() = 0;
};

}  // namespace quilvane::sync
