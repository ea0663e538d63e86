#include "transfer/upload.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <vector>

#include "platform/path.h"
#include "platform/temporary_name.h"
#include "platform/text.h"

namespace quilvane::transfer {

std::string RemoteArchiveName(const std::string& arquivo) {
  return platform::AsciiUpper(platform::FileNameOf(arquivo));
}

std::string TemporaryRemoteName(const std::string& remote) {
  return platform::TemporaryName(remote);
}

bool IsTemporaryRemoteName(const std::string& entry, const std::string& remote) {
  constexpr size_t kTagLength = 1 + 16 + 4;  // ".<hex>.tmp"
  if (entry.size() != remote.size() + kTagLength) return false;
  if (!platform::EqualsIgnoreAsciiCase(entry.substr(0, remote.size()), remote)) return false;
  const std::string tag = entry.substr(remote.size());
  if (tag[0] != '.' || !platform::EqualsIgnoreAsciiCase(tag.substr(17), ".tmp")) return false;
  for (size_t i = 1; i <= 16; ++i) {
    if (!std::isxdigit(static_cast<unsigned char>(tag[i]))) return false;
  }
  return true;
}

namespace {

// Best effort: a leftover the server will not remove is no reason to fail.
void DeleteQuietly(FtpClient& ftp, const std::string& name) {
  try {
    ftp.Delete(name);
  } catch (const platform::Error&) {
  }
}

bool Listed(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace

void PublishFile(FtpClient& ftp, const std::string& local_path, const std::string& remote) {
  const std::string temporary = TemporaryRemoteName(remote);
  try {
    ftp.Put(local_path, temporary);
    try {
      ftp.Rename(temporary, remote);
    } catch (const FtpReplyError&) {
      // Servers that refuse to rename over an existing file (IIS, some
      // Windows servers): the old copy goes first.
      DeleteQuietly(ftp, remote);
      ftp.Rename(temporary, remote);
    }
  } catch (const platform::Error&) {
    // The control connection may be gone (a timeout, a 421): then the
    // temporary copy stays until the next upload sweeps it.
    if (ftp.connected()) DeleteQuietly(ftp, temporary);
    throw;
  }
}

void ConfigureForExchange(FtpClient& ftp, const ExchangeServer& server) {
  ftp.set_transfer_type(FtpClient::TransferType::kBinary);
  ftp.set_host(server.ftp_host);
  ftp.set_port(server.ftp_port);
  ftp.set_username(server.ftp_user);
  ftp.set_password(server.ftp_password);
  ftp.set_passive(true);
  ftp.set_security(server.ftp_security, server.tls);
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
    // Temporary copies of uploads that were cut off are swept.
    std::vector<std::string> lista;
    ftp.List(lista);
    for (const auto& entry : lista) {
      if (IsTemporaryRemoteName(entry, remote)) DeleteQuietly(ftp, entry);
    }
    try {
      PublishFile(ftp, arquivo, remote);
    } catch (const platform::Error& e) {
      throw UploadError(UploadError::Step::kStore, e.what());
    }
    // A copy under another spelling (put there by hand) stays beside the
    // new archive where names are case-sensitive: delete it there, under the
    // name the listing gave. Where they are not, that name is the new archive.
    for (const auto& entry : lista) {
      if (entry == remote || !platform::EqualsIgnoreAsciiCase(entry, remote)) continue;
      std::vector<std::string> now;
      ftp.List(now);
      if (Listed(now, remote) && Listed(now, entry)) DeleteQuietly(ftp, entry);
    }
  } catch (...) {
    ftp.Disconnect();
    throw;
  }
  ftp.Disconnect();
}

}  // namespace quilvane::transfer
