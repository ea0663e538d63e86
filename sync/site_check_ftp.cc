#include "sync/site_check_ftp.h"

#include <exception>
#include <vector>

#include "platform/file.h"
#include "platform/private_file.h"
#include "platform/text.h"
#include "transfer/ftp_client.h"
#include "transfer/upload.h"

namespace quilvane::sync {

void CheckFtpPassword(const std::string& settings_path, const transfer::ExchangeServer& server,
                      const CheckSink& add) {
  const char* item = "SenhaFTP";
  std::string problems;
  try {
    if (platform::ReadableByEveryLocalUser(settings_path)) {
      problems = settings_path +
                 " pode ser lido por qualquer usuário deste computador: deixe-o só para o " +
                 "serviço e os administradores (Linux: chmod 600 " + settings_path +
                 "; Windows: icacls \"" + settings_path +
                 "\" /inheritance:r /grant:r *S-1-5-18:F *S-1-5-32-544:F)";
    }
  } catch (const std::exception& e) {
    problems = std::string("não foi possível ver quem pode ler o arquivo (") + e.what() + ")";
  }
  if (server.ftp_security == transfer::FtpSecurity::kNone) {
    if (!problems.empty()) problems += "; ";
    problems += "ServidorFTP não usa TLS: a senha passa aberta pela rede; escreva ftpes:// ou " +
                std::string("ftps:// antes do servidor");
  }
  if (problems.empty()) {
    add(CheckStatus::kOk, item,
        "definida (não mostrada), legível só pelo serviço e administradores");
  } else {
    add(CheckStatus::kWarning, item, "definida, mas " + problems);
  }
}

std::string CertificateDetail(const platform::TlsPeerInfo& peer, std::int64_t utc_now,
                              const std::function<std::string(std::int64_t)>& local_text) {
  std::string detail = peer.protocol + ", " + peer.subject + ", emitido por " + peer.issuer +
                       ", válido até " + local_text(peer.not_after_unix);
  if (RateCertificate(peer.not_after_unix, utc_now) == CheckStatus::kWarning) {
    const std::int64_t days = (peer.not_after_unix - utc_now) / 86400;
    detail += "; vence em " + std::to_string(days) + (days == 1 ? " dia" : " dias") +
              ": peça ao servidor de troca que o renove";
  }
  return detail;
}

std::string TlsFailureAdvice(platform::TlsFailure failure, const std::string& key) {
  switch (failure) {
    case platform::TlsFailure::kNotTrusted:
      return "o certificado não vem de uma autoridade confiável: instale a dela no sistema ou "
             "indique-a em CertificadoCA";
    case platform::TlsFailure::kNameMismatch:
      return "escreva em " + key + " o nome para o qual o certificado foi emitido";
    case platform::TlsFailure::kExpired:
      return "o certificado do servidor de troca venceu (ou o relógio deste computador está "
             "errado): peça a renovação";
    case platform::TlsFailure::kProtocol:
      return "o servidor não fala TLS 1.2 ou mais recente nessa porta: confira o esquema e a "
             "porta em " +
             key;
    case platform::TlsFailure::kTruncated:
      return "a conexão caiu no meio: tente de novo";
    case platform::TlsFailure::kConfig:
      return "confira o arquivo de CertificadoCA";
    case platform::TlsFailure::kOther:
      break;
  }
  return "confira " + key;
}

void CheckFtpSide(const transfer::ExchangeServer& server, const std::string& dir,
                  const std::string& digits, const CheckTimes& clock, const CheckSink& add) {
  transfer::FtpClient ftp;
  transfer::ConfigureForExchange(ftp, server);
  const std::string where = transfer::FtpAddress(server);
  try {
    ftp.Connect();
  } catch (const platform::TlsError& e) {
    ftp.Disconnect();
    add(CheckStatus::kFailure, "Certificado do FTP",
        where + ": " + e.what() + "; " + TlsFailureAdvice(e.failure(), "ServidorFTP"));
    return;
  } catch (const std::exception& e) {
    ftp.Disconnect();
    add(CheckStatus::kFailure, "FTP",
        where + " como " + server.ftp_user + ": " + e.what() +
            "; confira ServidorFTP e UsuarioFTP e se o servidor de troca está no ar");
    return;
  }
  if (const auto peer = ftp.tls_peer_info()) {
    const std::int64_t now = clock.utc_now();
    add(RateCertificate(peer->not_after_unix, now), "Certificado do FTP",
        CertificateDetail(*peer, now, clock.local_text));
  }
  add(CheckStatus::kOk, "FTP", "login em " + where + " como " + server.ftp_user);

  const std::string folder = std::string(transfer::kFtpFolder) + "/";
  const std::string probe = CheckProbeName();
  const std::string local = dir + probe;
  const char* step = "entrar na pasta";
  bool stored = false;
  try {
    ftp.ChangeDir(transfer::kFtpFolder);
    step = "listar";
    std::vector<std::string> names;
    ftp.List(names);
    bool has_archive = false;
    for (const std::string& n : names) {
      if (platform::EqualsIgnoreAsciiCase(n, digits + ".ZIP")) has_archive = true;
    }
    step = "criar o arquivo de teste local";
    platform::WriteFileAtomically(local, "quilvane -CHECK\r\n");
    step = "gravar";
    ftp.Put(local, probe);
    stored = true;
    step = "apagar";
    ftp.Delete(probe);
    stored = false;
    ftp.Disconnect();
    add(CheckStatus::kOk, "Pasta de troca",
        folder + ": listável (" + std::to_string(names.size()) + " arquivos, " +
            (has_archive ? digits + ".ZIP presente" : "ainda sem " + digits + ".ZIP") +
            ") e gravável (" + probe + " enviado e apagado)");
  } catch (const std::exception& e) {
    ftp.Disconnect();
    add(CheckStatus::kFailure, "Pasta de troca",
        folder + ": falhou ao " + step + ": " + e.what() +
            "; confira as permissões da conta FTP nessa pasta" +
            (stored ? " e apague " + probe + " dela" : ""));
  }
  try {
    platform::DeleteFile(local);
  } catch (const std::exception&) {
  }
}

}  // namespace quilvane::sync
