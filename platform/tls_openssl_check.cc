// The certificate side of the OpenSSL client: the trust store from
// CertificadoCA, the verify callback that keeps the real cause of a refusal,
// and the texts the log shows for each.
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>

#include <cstdio>
#include <ctime>
#include <memory>

#include "platform/file.h"
#include "platform/tls_openssl_internal.h"

namespace quilvane::platform::internal {
namespace {

// A CA file beyond this is no list of certificates.
constexpr std::int64_t kMaxCaFileBytes = 4 * 1024 * 1024;

struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};

int VerifyIndex() {
  static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

std::string DateText(const ASN1_TIME* time) {
  std::tm tm{};
  if (time == nullptr || ASN1_TIME_to_tm(time, &tm) != 1) return "?";
  char buf[48];
  std::snprintf(buf, sizeof buf, "%02d/%02d/%04d", tm.tm_mday, tm.tm_mon + 1, tm.tm_year + 1900);
  return buf;
}

int OnVerify(int preverify_ok, X509_STORE_CTX* ctx) {
  if (preverify_ok == 1) return 1;
  auto* ssl =
      static_cast<SSL*>(X509_STORE_CTX_get_ex_data(ctx, SSL_get_ex_data_X509_STORE_CTX_idx()));
  auto* failure = ssl ? static_cast<VerifyFailure*>(SSL_get_ex_data(ssl, VerifyIndex())) : nullptr;
  if (failure != nullptr && failure->error == X509_V_OK) {
    failure->error = X509_STORE_CTX_get_error(ctx);
    // The server's own certificate names the peer; the dates are those of
    // the certificate that failed (an intermediate may be the expired one).
    if (X509* leaf = X509_STORE_CTX_get0_cert(ctx)) {
      failure->subject = NameText(X509_get_subject_name(leaf));
      failure->issuer = NameText(X509_get_issuer_name(leaf));
    }
    X509* current = X509_STORE_CTX_get_current_cert(ctx);
    if (current == nullptr) current = X509_STORE_CTX_get0_cert(ctx);
    if (current != nullptr) {
      failure->not_before = DateText(X509_get0_notBefore(current));
      failure->not_after = DateText(X509_get0_notAfter(current));
    }
  }
  return 0;
}

std::string UntrustedReason(int error) {
  switch (error) {
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
      return "certificado autoassinado";
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED:
      return "a raiz da cadeia não é confiável";
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
    case X509_V_ERR_CRL_SIGNATURE_FAILURE:
      return "assinatura inválida na cadeia";
    case X509_V_ERR_CERT_REVOKED:
      return "certificado revogado";
    case X509_V_ERR_INVALID_PURPOSE:
      return "certificado não serve para servidor";
    default:
      return X509_verify_cert_error_string(error);
  }
}

}  // namespace

void WatchVerify(SSL* ssl, VerifyFailure* failure) {
  SSL_set_ex_data(ssl, VerifyIndex(), failure);
  SSL_set_verify(ssl, SSL_VERIFY_PEER, OnVerify);
}

TlsError VerifyError(const VerifyFailure& failure, const std::string& host) {
  const std::string who = failure.subject + " (emitido por " + failure.issuer + ")";
  switch (failure.error) {
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return TlsError(TlsFailure::kNameMismatch,
                      "Certificado emitido para outro nome: " + who + " não vale para " + host);
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return TlsError(TlsFailure::kExpired, "Certificado vencido ou ainda não válido: " + who +
                                                ", válido de " + failure.not_before + " a " +
                                                failure.not_after);
    default:
      return TlsError(TlsFailure::kNotTrusted,
                      "Certificado não confiável: " + who + ": " + UntrustedReason(failure.error));
  }
}

std::string LibraryText(unsigned long library_error) {
  if (library_error == 0) return "sem detalhe da biblioteca";
  const char* reason = ERR_reason_error_string(library_error);
  if (reason != nullptr) return reason;
  char buf[256];
  ERR_error_string_n(library_error, buf, sizeof buf);
  return buf;
}

TlsError HandshakeError(unsigned long library_error, bool peer_closed) {
  auto protocol = [](const std::string& what) {
    return TlsError(TlsFailure::kProtocol, "Falha no protocolo TLS: " + what);
  };
  if (peer_closed) return protocol("o servidor fechou a conexão durante a negociação TLS");
  const std::string text = LibraryText(library_error);
  if (ERR_GET_LIB(library_error) == ERR_LIB_SSL) {
    switch (ERR_GET_REASON(library_error)) {
      case SSL_R_UNSUPPORTED_PROTOCOL:
      case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
      case SSL_R_NO_PROTOCOLS_AVAILABLE:
      case SSL_R_VERSION_TOO_LOW:
        return protocol("o servidor não negocia TLS 1.2 ou posterior (" + text + ")");
      case SSL_R_WRONG_VERSION_NUMBER:
      case SSL_R_PACKET_LENGTH_TOO_LONG:
      case SSL_R_RECORD_LENGTH_MISMATCH:
        return protocol("resposta que não é TLS (" + text + ")");
      case SSL_R_UNEXPECTED_EOF_WHILE_READING:
        return protocol("o servidor fechou a conexão durante a negociação TLS");
      default:
        break;
    }
  }
  return protocol("negociação recusada (" + text + ")");
}

void AddCertificates(X509_STORE* store, const std::string& path) {
  std::string pem;
  try {
    if (GetFileInfo(path).size > kMaxCaFileBytes) {
      throw TlsError(TlsFailure::kConfig, "CertificadoCA grande demais para certificados: " + path);
    }
    pem = ReadFileToString(path);
  } catch (const TlsError&) {
    throw;
  } catch (const Error& e) {
    throw TlsError(TlsFailure::kConfig, std::string("CertificadoCA ilegível: ") + e.what());
  }
  std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) throw TlsError(TlsFailure::kConfig, "CertificadoCA: sem memória");
  int count = 0;
  for (;;) {
    ERR_clear_error();
    std::unique_ptr<X509, X509Free> cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    if (!cert) {
      const unsigned long err = ERR_peek_last_error();
      ERR_clear_error();
      // The end of the PEM blocks, or one that does not parse.
      if (ERR_GET_LIB(err) == ERR_LIB_PEM && ERR_GET_REASON(err) == PEM_R_NO_START_LINE) break;
      throw TlsError(TlsFailure::kConfig, "CertificadoCA com certificado inválido (" +
                                              std::to_string(count + 1) + "º): " + path);
    }
    if (X509_STORE_add_cert(store, cert.get()) != 1) {
      const unsigned long err = ERR_peek_last_error();
      ERR_clear_error();
      // The same certificate twice is harmless.
      if (ERR_GET_REASON(err) != X509_R_CERT_ALREADY_IN_HASH_TABLE) {
        throw TlsError(TlsFailure::kConfig, "CertificadoCA: " + LibraryText(err) + ": " + path);
      }
    }
    ++count;
  }
  if (count == 0) {
    throw TlsError(TlsFailure::kConfig, "CertificadoCA sem nenhum certificado PEM: " + path);
  }
}

std::string NameText(const X509_NAME* name) {
  if (name == nullptr) return "";
  std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
  if (!bio) return "";
  // RFC 2253 order (most specific first), ", " between parts, UTF-8 kept.
  const unsigned long flags =
      (XN_FLAG_RFC2253 & ~XN_FLAG_SEP_MASK & ~ASN1_STRFLGS_ESC_MSB) | XN_FLAG_SEP_CPLUS_SPC;
  if (X509_NAME_print_ex(bio.get(), name, 0, flags) < 0) return "";
  char* data = nullptr;
  long size = BIO_get_mem_data(bio.get(), &data);
  return size > 0 ? std::string(data, static_cast<size_t>(size)) : std::string();
}

TlsPeerInfo PeerInfo(SSL* ssl) {
  TlsPeerInfo info;
  info.protocol = SSL_get_version(ssl);
  X509* cert = SSL_get0_peer_certificate(ssl);
  if (cert == nullptr) return info;
  info.subject = NameText(X509_get_subject_name(cert));
  info.issuer = NameText(X509_get_issuer_name(cert));
  std::tm tm{};
  if (ASN1_TIME_to_tm(X509_get0_notAfter(cert), &tm) == 1) info.not_after_unix = timegm(&tm);
  return info;
}

}  // namespace quilvane::platform::internal
