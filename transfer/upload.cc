#include "transfer/upload.h"

#include <vector>

#include "platform/text.h"

namespace quilvane::transfer {

std::string RemoteArchiveName(const std::string& arquivo) {
  size_t cut = arquivo.find_last_of("\\:/");
  return platform::AsciiUpper(cut == std::string::npos ? arquivo : arquivo.substr(cut + 1));
}

void ConfigureForExchange(FtpClient& ftp, const ExchangeServer& server) {
  ftp.set_transfer_type(FtpClient::TransferType::kBinary);
  ftp.set_host(server.ftp_host);
  ftp.set_port(server.ftp_port);
  ftp.set_username(server.ftp_user);
  ftp.set_password(server.ftp_password);
  ftp.set_passive(true);
}

void Upload(FtpClient& ftp, const ExchangeServer& server, const std::string& arquivo) {
  const std::string remote = RemoteArchiveName(arquivo);
  ConfigureForExchange(ftp, server);
  try {
    try {
      ftp.Connect();
    } catch (const platform::Error& e) {
      throw UploadError(UploadError::Step::kConnect, e.what());
    }
    ftp.ChangeDir(kFtpFolder);
    // The old copy is deleted under the name the listing gave: a server
    // with case-sensitive names refuses any other spelling, which would
    // block every later upload.
    std::string arquivoold;
    {
      std::vector<std::string> lista;
      ftp.List(lista);
      for (const auto& entry : lista) {
        if (platform::EqualsIgnoreAsciiCase(entry, remote)) {
          arquivoold = entry;
          break;
        }
      }
    }
    if (!arquivoold.empty()) ftp.Delete(arquivoold);
    try {
      ftp.Put(arquivo, remote);
    } catch (const platform::Error& e) {
      throw UploadError(UploadError::Step::kStore, e.what());
    }
  } catch (...) {
    ftp.Disconnect();
    throw;
  }
  ftp.Disconnect();
}

}  // namespace quilvane::transfer
