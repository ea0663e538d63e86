#include "transfer/download.h"

#include <cctype>

#include "platform/file.h"

namespace quilvane::transfer {
namespace {

// `text` with every occurrence of `what` removed, letters compared without
// regard to case.
std::string RemoveNoCase(const std::string& text, std::string_view what) {
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    bool match = i + what.size() <= text.size();
    for (size_t k = 0; match && k < what.size(); ++k) {
      match = std::tolower(static_cast<unsigned char>(text[i + k])) ==
              std::tolower(static_cast<unsigned char>(what[k]));
    }
    if (match) {
      i += what.size();
    } else {
      out += text[i++];
    }
  }
  return out;
}

}  // namespace

std::string SecondAttemptAddress(const std::string& source) {
  return RemoveNoCase(source, "http://www.");
}

std::string ThirdAttemptAddress(const std::string& source) { return RemoveNoCase(source, "www."); }

bool DownloadFile(HttpClient& http, const std::string& source, const std::string& dest,
                  bool descompactar, const std::string& dir,
                  const std::function<bool(const std::string& archive_path)>& unpack,
                  sync::Log& log) {
  std::string path = dir;
  if (!path.empty() && path.back() != '/' && path.back() != platform::PathSeparator()) {
    path += platform::PathSeparator();
  }
  path += dest;

  bool fetched = false;
  {
    platform::File my_file;
    try {
      my_file = platform::File(path, platform::File::Mode::kCreate);
    } catch (const platform::SystemError& e) {
      throw platform::Error("Cannot create file \"" + path + "\". " +
                            platform::SystemMessage(e.code()));
    }
    http.set_accept(kDownloadAccept);
    http.set_accept_encoding(kDownloadAcceptEncoding);
    http.set_user_agent(kDownloadUserAgent);

    const std::string addresses[] = {source, SecondAttemptAddress(source),
                                     ThirdAttemptAddress(source)};
    for (int attempt = 0; attempt < 3 && !fetched; ++attempt) {
      // Every attempt starts on an empty file, so the bytes of one that
      // broke off never mix with the next one's body.
      my_file.Truncate(0);
      my_file.Seek(0);
      try {
        http.Get(addresses[attempt], my_file);
        fetched = true;
      } catch (const platform::Error& e) {
        if (attempt == 2) {
          log.DoSaveLog(std::string("Falha ao realizar o download do arquivo: ") + e.what());
        }
      }
    }
    if (!fetched) my_file.Truncate(0);
    my_file.Close();
  }

  // Nothing is unpacked from a download that did not arrive whole.
  if (!fetched) {
    try {
      platform::DeleteFile(path);
    } catch (const platform::Error&) {
    }
    return false;
  }
  bool result = platform::FileExists(path);
  if (result && descompactar) {
    log.DoSaveLog("O arquivo baixado existe!!!");
    result = unpack(path);
    try {
      platform::DeleteFile(path);
    } catch (const platform::Error&) {
    }
  }
  if (result) log.DoSaveLog("Descompactou o arquivo!!!");
  return result;
}

}  // namespace quilvane::transfer
