#include "transfer/upload.h"

#include <vector>

namespace quilvane::transfer {
namespace {

std::string AsciiLower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

std::string AsciiUpper(std::string s) {
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return s;
}

}  // namespace

std::string RemoteArchiveName(const std::string& arquivo) {
  size_t cut = arquivo.find_last_of("\\:/");
  return AsciiUpper(cut == std::string::npos ? arquivo : arquivo.substr(cut + 1));
}

bool Upload(FtpClient& ftp, const ExchangeServer& server, const std::string& arquivo,
            sync::Log& log) {
  bool result = false;
  const std::string remote = RemoteArchiveName(arquivo);
  ftp.set_transfer_type(FtpClient::TransferType::kBinary);
  ftp.set_host(server.ftp_host);
  ftp.set_port(server.ftp_port);
  ftp.set_username(server.ftp_user);
  ftp.set_password(kFtpPassword);
  ftp.set_passive(true);
  try {
    try {
      ftp.Connect();
    } catch (const platform::Error& e) {
      ftp.Disconnect();
      log.DoSaveLog(std::string("Falha ao conectar no FTP: ") + e.what());
      ftp.Disconnect();
      return false;
    }
    ftp.ChangeDir(kFtpFolder);
    // The old copy is deleted under the name the listing gave: a server
    // with case-sensitive names refuses any other spelling, which would
    // block every later upload.
    std::string arquivoold;
    {
      std::vector<std::string> lista;
      ftp.List(lista);
      const std::string wanted = AsciiLower(remote);
      for (const auto& entry : lista) {
        if (AsciiLower(entry) == wanted) {
          arquivoold = entry;
          break;
        }
      }
    }
    if (!arquivoold.empty()) ftp.Delete(arquivoold);
    try {
      ftp.Put(arquivo, remote);
      result = true;
    } catch (const platform::Error& e) {
      ftp.Disconnect();
      log.DoSaveLog(std::string("Falha ao realizar o upload do arquivo: ") + e.what());
    }
  } catch (...) {
    ftp.Disconnect();
    throw;
  }
  ftp.Disconnect();
  return result;
}

}  // namespace quilvane::transfer
