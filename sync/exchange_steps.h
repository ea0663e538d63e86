#pragma once

// The steps that move the exchange file between the sites: packing,
// unpacking, the upload and the download. Each reports its failure in the
// log with the service's fixed text and returns false; the layers below
// them throw.

#include <cstdint>
#include <functional>
#include <string>

#include "archive/compactar.h"
#include "platform/logger.h"
#include "transfer/exchange_server.h"
#include "transfer/ftp_client.h"
#include "transfer/http_client.h"

namespace quilvane::sync {

// Packs `arquivo_origem` into the archive beside it (archive::ArchivePathFor).
// When the key file `key_file` (not empty) exists, the archive comment signs
// the file, hashed while it is deflated; a key file that cannot be read
// fails the pack: the day is never published unsigned. Logs "Falha ao
// compactar o arquivo: " + message on failure, leaves no archive and
// returns false.
bool CompactarArquivo(const std::string& arquivo_origem, platform::Logger& log, platform::Env& env,
                      const std::string& key_file = "");

// Extracts `arquivo` into folder `destino` (options.comment, when set,
// receives the archive's comment). Logs "Falha ao descompactar o
// arquivo: " + message on failure and returns false (no partial output left
// behind).
bool DescompactarArquivo(const std::string& arquivo, const std::string& destino,
                         platform::Logger& log, const archive::UnpackOptions& options = {});

// Sends the archive `arquivo` to the exchange server (transfer::Upload).
// Returns true when stored; false after logging "Falha ao conectar no FTP: "
// or "Falha ao realizar o upload do arquivo: " + message. A failure while
// changing folder, listing or deleting leaves unlogged (platform::Error),
// after the connection was closed.
bool Upload(transfer::FtpClient& ftp, const transfer::ExchangeServer& server,
            const std::string& arquivo, platform::Logger& log);

// Fetches the exchange archive from `source` into `dir` + `dest` (dir is the
// executable's folder), trying the three addresses (transfer::Download).
// With `descompactar`, logs "O arquivo baixado existe!!!", gives `unpack`
// the local archive's path and deletes it afterwards. Logs "Descompactou o
// arquivo!!!" and returns true when the archive arrived and, with
// `descompactar`, the unpacking worked. When every attempt failed logs
// "Falha ao realizar o download do arquivo: " + the last error and returns
// false. Throws platform::Error "Cannot create file ..." when the local file
// cannot be created (nothing logged).
// `limits` bound what a peer can make the site store: a download past
// `max_bytes` fails that address; with less than `min_free_bytes` free in
// `dir` nothing is requested (logged as a failed download).
struct DownloadLimits {
  std::uint64_t max_bytes = 0;  // 0: none
  std::uint64_t min_free_bytes = 0;
};
bool DownloadFile(transfer::HttpClient& http, const std::string& source, const std::string& dest,
                  bool descompactar, const std::string& dir,
                  const std::function<bool(const std::string& archive_path)>& unpack,
                  platform::Logger& log, const DownloadLimits& limits = {});

}  // namespace quilvane::sync
