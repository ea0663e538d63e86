#pragma once

#include <string>

// The files a site keeps in its folder (the program's) and the keys of its
// settings: every name a site owns, spelled once. The names are fixed: sites
// of every version, the head office's exchange server and the operators'
// own scripts rely on them byte for byte.
//
// `dir` is the site's folder with its trailing separator ("" for a bare
// name); the paths are `dir` followed by the name.

namespace quilvane::sync {

// The site's settings, section kSettingsSection.
inline constexpr char kSettingsFileName[] = "Quilvane.ini";
// One time-stamped line per entry, for the operator.
inline constexpr char kLogFileName[] = "Quilvane.log";
// The head office's private signing key.
inline constexpr char kKeyFileName[] = "Quilvane.key";
// A branch's receipt not yet stored on the exchange server.
inline constexpr char kPendingReceiptName[] = "Quilvane.recibo";
// Held by the running cycle or switch: one at a time per folder.
inline constexpr char kLockFileName[] = "Quilvane.lock";
// The head office's copy of the receipts last read from the server.
inline constexpr char kReceiptCacheName[] = "Quilvane.recibos";
// The branches the head office last reported as late or failing.
inline constexpr char kRedBranchesName[] = "Quilvane.vermelhas";
// The head office's fleet page, written here and published.
inline constexpr char kStatusPageName[] = "status.html";
// The ERP's own settings (section kDatabaseSection), read, never written.
inline constexpr char kDatabaseSettingsName[] = "tolmarc.ini";
// The ERP's database beside the program when tolmarc.ini names none.
inline constexpr char kDefaultDatabaseName[] = "TOLMARC.FDB";
// The folder of the changes lists, one "AAAAMMDD.csv" per day applied
// (named and pruned by exchange/changes_list.h).
inline constexpr char kChangesFolderName[] = "Alteracoes";

// The exchange file and its archive are named for the head office: the
// digits of its CNPJ followed by these.
inline constexpr char kExchangeFileExtension[] = ".SQL";
inline constexpr char kArchiveExtension[] = ".ZIP";

// The keys of Quilvane.ini.
inline constexpr char kSettingsSection[] = "Quilvane";
namespace key {
inline constexpr char kCnpjServidor[] = "CNPJServidor";
inline constexpr char kDataUltimaSincronizacao[] = "DataUltimaSincronizacao";
inline constexpr char kSincronizarPrecoFarmaciaPopular[] = "SincronizarPrecoFarmaciaPopular";
inline constexpr char kServidorFtp[] = "ServidorFTP";
inline constexpr char kUsuarioFtp[] = "UsuarioFTP";
inline constexpr char kSenhaFtp[] = "SenhaFTP";
inline constexpr char kDominioWeb[] = "DominioWeb";
inline constexpr char kCertificadoCa[] = "CertificadoCA";
inline constexpr char kChavePublica[] = "ChavePublica";
inline constexpr char kEnviarRecibo[] = "EnviarRecibo";
inline constexpr char kPublicarStatus[] = "PublicarStatus";
inline constexpr char kNomeFilial[] = "NomeFilial";
inline constexpr char kTamanhoMaximoMb[] = "TamanhoMaximoMB";
inline constexpr char kDataUltimoArquivo[] = "DataUltimoArquivo";
inline constexpr char kSomenteAlterados[] = "SomenteAlterados";
}  // namespace key

// The keys of tolmarc.ini.
inline constexpr char kDatabaseSection[] = "Tolmarc";
namespace key {
inline constexpr char kServidor[] = "Servidor";
inline constexpr char kCaminho[] = "Caminho";
}  // namespace key

std::string SettingsPath(const std::string& dir);
std::string LogPath(const std::string& dir);
std::string KeyFilePath(const std::string& dir);
std::string PendingReceiptPath(const std::string& dir);
std::string LockFilePath(const std::string& dir);
std::string DatabaseSettingsPath(const std::string& dir);

// The changes lists' folder, without a trailing separator.
std::string ChangesFolderPath(const std::string& dir);

// The exchange file of the head office whose CNPJ is `cnpj_servidor` (with
// or without punctuation): its digits + ".SQL". The head office writes it
// and the branch unpacks and applies it.
std::string ExchangeFileName(const std::string& cnpj_servidor);
std::string ExchangeFilePath(const std::string& dir, const std::string& cnpj_servidor);

// The archive of that exchange file, as stored on the exchange server: the
// digits + ".ZIP".
std::string ArchiveName(const std::string& cnpj_servidor);

}  // namespace quilvane::sync
