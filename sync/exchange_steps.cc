#include "sync/exchange_steps.h"

#include <exception>
#include <optional>

#include "platform/disk_space.h"
#include "platform/file.h"
#include "platform/path.h"
#include "platform/temporary_file.h"
#include "sync/signed_exchange.h"
#include "transfer/download.h"
#include "transfer/upload.h"

namespace quilvane::sync {

bool CompactarArquivo(const std::string& arquivo_origem, platform::Logger& log, platform::Env& env,
                      const std::string& key_file) {
  try {
    std::optional<PendingSignature> signature;
    // Anything in the key's place (a folder, a dangling link, a file this
    // account may not read) is a key that cannot be read, not no key: the
    // day is never published unsigned because of it.
    if (!key_file.empty() && !platform::NothingAt(key_file)) {
      signature.emplace(key_file, arquivo_origem);
    }
    std::function<std::string()> comment;
    if (signature) comment = [&signature] { return signature->Comment(); };
    archive::Pack(arquivo_origem, env, comment);
  } catch (const std::exception& e) {
    log.DoSaveLog(std::string("Falha ao compactar o arquivo: ") + e.what());
    return false;
  }
  return platform::FileExists(archive::ArchivePathFor(arquivo_origem));
}

bool DescompactarArquivo(const std::string& arquivo, const std::string& destino,
                         platform::Logger& log, const archive::UnpackOptions& options) {
  try {
    archive::Unpack(arquivo, destino, options);
    return true;
  } catch (const std::exception& e) {
    log.DoSaveLog(std::string("Falha ao descompactar o arquivo: ") + e.what());
    return false;
  }
}

bool Upload(transfer::FtpClient& ftp, const transfer::ExchangeServer& server,
            const std::string& arquivo, platform::Logger& log) {
  try {
    transfer::Upload(ftp, server, arquivo);
    return true;
  } catch (const transfer::UploadError& e) {
    const char* what = e.step() == transfer::UploadError::Step::kConnect
                           ? "Falha ao conectar no FTP: "
                           : "Falha ao realizar o upload do arquivo: ";
    log.DoSaveLog(what + std::string(e.what()));
    return false;
  }
}

bool DownloadFile(transfer::HttpClient& http, const std::string& source, const std::string& dest,
                  bool descompactar, const std::string& dir,
                  const std::function<bool(const std::string& archive_path)>& unpack,
                  platform::Logger& log, const DownloadLimits& limits) {
  const std::string path = platform::WithTrailingSeparator(dir) + dest;
  try {
    if (limits.min_free_bytes > 0) {
      platform::RequireFreeSpace(dir, limits.min_free_bytes);
    }
    transfer::Download(http, source, path, limits.max_bytes);
  } catch (const transfer::DownloadError& e) {
    log.DoSaveLog(std::string("Falha ao realizar o download do arquivo: ") + e.what());
    return false;
  } catch (const platform::NoRoomError& e) {
    log.DoSaveLog(std::string("Falha ao realizar o download do arquivo: ") + e.what());
    return false;
  }
  bool result = platform::FileExists(path);
  if (result && descompactar) {
    log.DoSaveLog("O arquivo baixado existe!!!");
    const platform::TemporaryFile archive(path);
    result = unpack(path);
  }
  if (result) log.DoSaveLog("Descompactou o arquivo!!!");
  return result;
}

}  // namespace quilvane::sync
