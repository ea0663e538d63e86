// The server certificate checks of the Windows TLS client. SChannel is told
// to leave them to us (manual validation) because it knows only the
// machine's store: CertificadoCA adds a private CA that the chain's IT need
// not install on every branch. CryptoAPI builds and checks the chain; this
// file only decides which root counts as trusted and names the failure.
#include "platform/tls_schannel_internal.h"
// clang-format off
#include "platform/wide_windows.h"
// clang-format on

#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/file.h"
#include "platform/socket.h"

namespace quilvane::platform::internal {
namespace {

// wininet.h's SECURITY_FLAG_IGNORE_CERT_CN_INVALID, for the SSL policy's
// fdwChecks; the IP address check is ours (below).
constexpr DWORD kIgnoreNameCheck = 0x00001000;

// CertificadoCA is a few certificates; a file far larger is not one.
constexpr size_t kMaxPemFile = 4 << 20;

struct ChainFreer {
  void operator()(PCCERT_CHAIN_CONTEXT chain) const { CertFreeCertificateChain(chain); }
};

std::string NameText(const CERT_NAME_BLOB& name) {
  // "CN=Quilvane Teste CA, O=...": most specific first, no quotes.
  const DWORD flags =
      CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG | CERT_NAME_STR_NO_QUOTING_FLAG;
  auto blob = const_cast<CERT_NAME_BLOB*>(&name);
  const DWORD n = CertNameToStrW(X509_ASN_ENCODING, blob, flags, nullptr, 0);
  if (n <= 1) return "";
  std::wstring text(n, L'\0');
  CertNameToStrW(X509_ASN_ENCODING, blob, flags, text.data(), n);
  text.resize(n - 1);
  return Narrow(text);
}

std::int64_t UnixSeconds(const FILETIME& t) {
  const std::int64_t ticks = (static_cast<std::int64_t>(t.dwHighDateTime) << 32) |
                             static_cast<std::int64_t>(t.dwLowDateTime);
  // 100 ns ticks since 1601-01-01.
  return (ticks - 116444736000000000LL) / 10000000LL;
}

std::string DateText(const FILETIME& t) {
  SYSTEMTIME st{};
  if (!FileTimeToSystemTime(&t, &st)) return "?";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02u/%02u/%04u", st.wDay, st.wMonth, st.wYear);
  return buf;
}

// Whether the certificate's alternative names hold this IPv4 address.
bool NamesAddress(PCCERT_CONTEXT cert, Ipv4Address address) {
  const CERT_INFO* info = cert->pCertInfo;
  PCERT_EXTENSION ext =
      CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
  if (ext == nullptr) return false;
  CERT_ALT_NAME_INFO* names = nullptr;
  DWORD size = 0;
  if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, ext->Value.pbData,
                           ext->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size)) {
    return false;
  }
  const unsigned char want[4] = {static_cast<unsigned char>(address.value >> 24),
                                 static_cast<unsigned char>(address.value >> 16),
                                 static_cast<unsigned char>(address.value >> 8),
                                 static_cast<unsigned char>(address.value)};
  bool found = false;
  for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
    const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
    found = entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry.IPAddress.cbData == 4 &&
            std::memcmp(entry.IPAddress.pbData, want, 4) == 0;
  }
  LocalFree(names);
  return found;
}

std::string Hex(unsigned long code) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08lX", code);
  return buf;
}

// What is wrong with a chain, in the operator's words.
std::string ChainProblem(DWORD status) {
  if (status & CERT_TRUST_IS_NOT_SIGNATURE_VALID) return "assinatura inválida na cadeia";
  if (status & CERT_TRUST_IS_REVOKED) return "certificado revogado";
  if (status & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) return "certificado não serve para servidor";
  if (status & CERT_TRUST_IS_PARTIAL_CHAIN) return "cadeia incompleta até a raiz";
  if (status & CERT_TRUST_IS_UNTRUSTED_ROOT) return "a raiz da cadeia não é confiável";
  if (status & CERT_TRUST_IS_CYCLIC) return "cadeia cíclica";
  return "cadeia recusada (" + Hex(status) + ")";
}

}  // namespace

std::string StatusText(long status) {
  return SystemMessage(static_cast<int>(status)) + " (" + Hex(static_cast<unsigned long>(status)) +
         ")";
}

HCERTSTORE LoadPemCertificates(const std::string& path) {
  std::string text;
  try {
    text = ReadFileToString(path);
  } catch (const Error& e) {
    throw TlsError(TlsFailure::kConfig, std::string("CertificadoCA ilegível: ") + e.what());
  }
  if (text.size() > kMaxPemFile) {
    throw TlsError(TlsFailure::kConfig, "CertificadoCA grande demais para certificados: " + path);
  }
  std::unique_ptr<void, StoreCloser> store(
      CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr));
  if (!store) {
    throw TlsError(TlsFailure::kConfig, "CertificadoCA: " + SystemMessage(GetLastError()));
  }
  constexpr std::string_view kBegin = "-----BEGIN CERTIFICATE-----";
  constexpr std::string_view kEnd = "-----END CERTIFICATE-----";
  int count = 0;
  for (size_t pos = text.find(kBegin); pos != std::string::npos; pos = text.find(kBegin, pos)) {
    const size_t body = pos + kBegin.size();
    const size_t end = text.find(kEnd, body);
    if (end == std::string::npos) {
      throw TlsError(TlsFailure::kConfig, "CertificadoCA com certificado incompleto: " + path);
    }
    const auto length = static_cast<DWORD>(end - body);
    DWORD size = 0;
    std::vector<BYTE> der;
    bool ok = CryptStringToBinaryA(text.data() + body, length, CRYPT_STRING_BASE64, nullptr, &size,
                                   nullptr, nullptr) &&
              size > 0;
    if (ok) {
      der.resize(size);
      ok = CryptStringToBinaryA(text.data() + body, length, CRYPT_STRING_BASE64, der.data(), &size,
                                nullptr, nullptr) &&
           CertAddEncodedCertificateToStore(static_cast<HCERTSTORE>(store.get()), X509_ASN_ENCODING,
                                            der.data(), size, CERT_STORE_ADD_USE_EXISTING, nullptr);
    }
    if (!ok) {
      throw TlsError(TlsFailure::kConfig, "CertificadoCA com certificado inválido (" +
                                              std::to_string(count + 1) + "º): " + path);
    }
    ++count;
    pos = end + kEnd.size();
  }
  if (count == 0) {
    throw TlsError(TlsFailure::kConfig, "CertificadoCA sem nenhum certificado PEM: " + path);
  }
  return static_cast<HCERTSTORE>(store.release());
}

TlsPeerInfo DescribeCertificate(PCCERT_CONTEXT cert) {
  TlsPeerInfo info;
  info.subject = NameText(cert->pCertInfo->Subject);
  info.issuer = NameText(cert->pCertInfo->Issuer);
  info.not_after_unix = UnixSeconds(cert->pCertInfo->NotAfter);
  return info;
}

void CheckServerCertificate(PCCERT_CONTEXT cert, HCERTSTORE extra_roots, bool use_system_store,
                            const std::string& host) {
  const TlsPeerInfo info = DescribeCertificate(cert);
  const std::string who = info.subject + " (emitido por " + info.issuer + ")";
  const auto not_trusted = [&](const std::string& why) {
    return TlsError(TlsFailure::kNotTrusted, "Certificado não confiável: " + who + ": " + why);
  };

  // The intermediates the server sent and our extra roots, for the chain
  // builder to find; trust in them is decided below, not by their presence.
  std::unique_ptr<void, StoreCloser> found(
      CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr));
  if (!found) throw not_trusted(SystemMessage(GetLastError()));
  auto found_store = static_cast<HCERTSTORE>(found.get());
  if (cert->hCertStore != nullptr) CertAddStoreToCollection(found_store, cert->hCertStore, 0, 0);
  if (extra_roots != nullptr) CertAddStoreToCollection(found_store, extra_roots, 0, 0);

  char server_auth[] = szOID_PKIX_KP_SERVER_AUTH;
  LPSTR usages[] = {server_auth};
  CERT_CHAIN_PARA para{};
  para.cbSize = sizeof para;
  para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  para.RequestedUsage.Usage.cUsageIdentifier = 1;
  para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
  PCCERT_CHAIN_CONTEXT raw_chain = nullptr;
  if (!CertGetCertificateChain(HCCE_LOCAL_MACHINE, cert, nullptr, found_store, &para, 0, nullptr,
                               &raw_chain)) {
    throw not_trusted(SystemMessage(GetLastError()));
  }
  std::unique_ptr<const CERT_CHAIN_CONTEXT, ChainFreer> chain(raw_chain);
  if (chain->cChain == 0 || chain->rgpChain[0]->cElement == 0) throw not_trusted("cadeia vazia");

  const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
  PCCERT_CONTEXT root = simple->rgpElement[simple->cElement - 1]->pCertContext;
  bool root_is_ours = false;
  if (extra_roots != nullptr) {
    PCCERT_CONTEXT match = CertFindCertificateInStore(extra_roots, X509_ASN_ENCODING, 0,
                                                      CERT_FIND_EXISTING, root, nullptr);
    root_is_ours = match != nullptr;
    if (match != nullptr) CertFreeCertificateContext(match);
  }
  // Revocation is not asked for: a branch may reach no CRL server.
  DWORD errors = chain->TrustStatus.dwErrorStatus &
                 ~(CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION);
  // A self-signed root of CertificadoCA is trusted as if it were installed.
  const bool root_self_signed = (errors & CERT_TRUST_IS_PARTIAL_CHAIN) == 0;
  if (root_is_ours && root_self_signed) errors &= ~CERT_TRUST_IS_UNTRUSTED_ROOT;
  if (!use_system_store && !root_is_ours) {
    throw not_trusted("a raiz da cadeia não está em CertificadoCA");
  }
  const DWORD time_errors = CERT_TRUST_IS_NOT_TIME_VALID | CERT_TRUST_IS_NOT_TIME_NESTED;
  if (errors & ~time_errors) throw not_trusted(ChainProblem(errors));
  if (errors & CERT_TRUST_IS_NOT_TIME_VALID) {
    throw TlsError(TlsFailure::kExpired, "Certificado vencido ou ainda não válido: " + who +
                                             ", válido de " + DateText(cert->pCertInfo->NotBefore) +
                                             " a " + DateText(cert->pCertInfo->NotAfter));
  }

  // The name: the system's SSL policy for host names (wildcards, the
  // subject's CN when there are no alternative names), our own look at the
  // alternative names for an IP address.
  Ipv4Address address;
  const bool is_address = ParseIpv4(host, &address);
  std::wstring wide_host = Widen(host);
  SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
  ssl.cbSize = sizeof ssl;
  ssl.dwAuthType = AUTHTYPE_SERVER;
  ssl.fdwChecks = is_address ? kIgnoreNameCheck : 0;
  ssl.pwszServerName = wide_host.data();
  CERT_CHAIN_POLICY_PARA policy{};
  policy.cbSize = sizeof policy;
  policy.dwFlags = root_is_ours ? CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG : 0;
  policy.pvExtraPolicyPara = &ssl;
  CERT_CHAIN_POLICY_STATUS status{};
  status.cbSize = sizeof status;
  if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain.get(), &policy, &status)) {
    throw not_trusted(SystemMessage(GetLastError()));
  }
  const bool name_ok = is_address ? NamesAddress(cert, address)
                                  : status.dwError != static_cast<DWORD>(CERT_E_CN_NO_MATCH);
  if (!name_ok) {
    throw TlsError(TlsFailure::kNameMismatch,
                   "Certificado emitido para outro nome: " + who + " não vale para " + host);
  }
  if (status.dwError != 0 && status.dwError != static_cast<DWORD>(CERT_E_CN_NO_MATCH)) {
    if (status.dwError == static_cast<DWORD>(CERT_E_EXPIRED)) {
      throw TlsError(TlsFailure::kExpired, "Certificado vencido ou ainda não válido: " + who);
    }
    throw not_trusted(StatusText(static_cast<long>(status.dwError)));
  }
}

}  // namespace quilvane::platform::internal
