// What signing and verifying add to the exchange file's way: the head
// office's pack step with and without its key file (the signature hashed on
// a second thread while the archive is deflated), the branch's unpack and
// statement check with and without the verification (hashed alongside the
// check). The steps alone (sequential sign and verify, the hashes) follow.
//
//   sign_bench [WORKDIR] [PRODUCTS] [ROUNDS]
//
// Writes an exchange file of PRODUCTS products (default 100,000, about 60 MB)
// whose statements have the export's exact shape, then runs ROUNDS rounds
// (default 7) of every step in turn, in this process, and prints the best
// wall and CPU time (user + system) of each and what signing and verifying
// add, on wall time. Exit status 1 when signing adds more than 5% to packing
// or verifying more than 5% to unpacking and checking.
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "archive/compactar.h"
#include "exchange/exchange_file.h"
#include "exchange/format.h"
#include "exchange/signature.h"
#include "exchange/statement.h"
#include "platform/crypto.h"
#include "platform/env.h"
#include "platform/file.h"
#include "sync/exchange_steps.h"
#include "sync/log.h"
#include "sync/signed_exchange.h"

namespace {

namespace ex = quilvane::exchange;

struct Lcg {
  std::uint64_t s = 0x9E3779B97F4A7C15ull;
  std::uint32_t Below(std::uint32_t n) {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<std::uint32_t>(s >> 33) % n;
  }
};

std::string Literal(Lcg& r, ex::LiteralKind kind, std::string_view column) {
  char b[48];
  if (column == "CODIGO") {
    std::snprintf(b, sizeof b, "'%llu'", 7890000000000ull + r.Below(99999999));
    return b;
  }
  if (kind != ex::LiteralKind::kTexto && r.Below(4) == 0) return "NULL";
  switch (kind) {
    case ex::LiteralKind::kValor2: {
      const std::uint32_t c = r.Below(80000);
      std::snprintf(b, sizeof b, "%u.%02u", c / 100, c % 100);
      return b;
    }
    case ex::LiteralKind::kValor3:
      std::snprintf(b, sizeof b, "%u.000", 1 + r.Below(12));
      return b;
    case ex::LiteralKind::kData:
      return r.Below(3) == 0 ? "'01/10/2023'" : "NULL";
    case ex::LiteralKind::kTexto:
      return r.Below(2) == 0 ? "'S'" : "'N'";
  }
  return "NULL";
}

void WriteExchangeFile(const std::string& path, int products) {
  quilvane::platform::File f(path, quilvane::platform::File::Mode::kCreate);
  Lcg r;
  std::string buf = "17/10/2023\r\n";
  for (int i = 0; i < products; ++i) {
    for (const auto& part : ex::kStatementParts) {
      buf += part.fixed_text;
      buf += Literal(r, part.kind, part.column);
    }
    buf += "\r\n";
    if (buf.size() > (1 << 20)) {
      f.Write(buf);
      buf.clear();
    }
  }
  f.Write(buf);
  f.Close();
}

// The import's first pass: every statement line read and checked.
int CheckStatements(const std::string& path) {
  ex::ExchangeFileReader reader(path);
  std::string line;
  int good = 0;
  reader.ReadLine(line, 64);  // the date
  while (true) {
    const auto s = reader.ReadLine(line, ex::kMaxLineLength);
    if (s == ex::ExchangeFileReader::Status::kEnd) break;
    if (s == ex::ExchangeFileReader::Status::kLine && ex::IsExportedStatement(line)) ++good;
  }
  return good;
}

struct Time {
  double wall = 1e9;
  double cpu = 1e9;
};

double ProcessCpu() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

Time Seconds(const std::function<void()>& work) {
  const double cpu = ProcessCpu();
  const auto start = std::chrono::steady_clock::now();
  work();
  return {std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
          ProcessCpu() - cpu};
}

}  // namespace

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  namespace sync = quilvane::sync;
  const std::string dir = (argc > 1 ? std::string(argv[1]) : "/tmp/quilvane-sign-bench") + "/";
  const int products = argc > 2 ? std::atoi(argv[2]) : 100000;
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 7;
  fs::create_directories(dir + "out");
  const std::string name = "12345678000190.SQL";
  const std::string sql = dir + name;
  const std::string zip = dir + "12345678000190.ZIP";
  const std::string unpacked = dir + "out/" + name;
  const std::string key_file = sync::KeyFilePath(dir);
  WriteExchangeFile(sql, products);
  std::printf("exchange file: %d products, %.1f MB\n", products, fs::file_size(sql) / 1e6);

  fs::remove(key_file);
  const ex::PrivateKey key = ex::GenerateKeyFile(key_file);
  const std::vector<ex::PublicKey> keys = {key.public_key()};
  sync::Log log(dir, quilvane::platform::Env::Default());
  std::string comment;
  int checked = 0;
  bool ok = true;
  // The bytes the packer already holds, for the cost of hashing them there.
  const std::string bytes = quilvane::platform::ReadFileToString(sql);

  // The branch's unpack-and-check step: the exchange file out of the
  // archive, then the import's first pass; with `keys`, the signature is
  // hashed alongside that pass and required after it, as the import does.
  auto unpack_and_check = [&](bool verify) {
    std::string archive_comment;
    quilvane::archive::UnpackOptions options;
    options.comment = &archive_comment;
    ok &= sync::DescompactarArquivo(zip, dir + "out/", log, options);
    if (!verify) {
      checked = CheckStatements(unpacked);
      return;
    }
    sync::SignatureCheck check(unpacked, name, archive_comment, keys);
    checked = CheckStatements(unpacked);
    check.Require();
  };

  enum {
    kPack,
    kPackSigned,
    kUnpackCheck,
    kUnpackCheckVerified,
    kSign,
    kVerify,
    kUnpack,
    kCheck,
    kHashMemory,
    kSha512Memory,
    kHashArchive,
    kEd25519,
    kSteps
  };
  const char* names[kSteps] = {
      "pack    CompactarArquivo, no key file",
      "pack    CompactarArquivo, signed (hash on a 2nd thread)",
      "branch  unpack + check, no ChavePublica",
      "branch  unpack + check, verified (hash on a 2nd thread)",
      "sign    SignFile alone (SHA-256 of the file + Ed25519)",
      "verify  VerifyFile alone (SHA-256 of the file + Ed25519)",
      "unpack  DescompactarArquivo",
      "check   every statement line (import, first pass)",
      "hash    SHA-256 of the bytes in memory, 512 KiB pieces",
      "hash    SHA-512 of the same (the other choice)",
      "hash    SHA-256 of the archive file (the other design)",
      "Ed25519 sign + verify of the 89-byte message",
  };
  std::vector<Time> best(kSteps);
  for (int round = 0; round < rounds; ++round) {
    fs::remove(unpacked);
    const Time t[kSteps] = {
        Seconds(
            [&] { ok &= sync::CompactarArquivo(sql, log, quilvane::platform::Env::Default()); }),
        Seconds([&] {
          ok &= sync::CompactarArquivo(sql, log, quilvane::platform::Env::Default(), key_file);
        }),
        Seconds([&] { unpack_and_check(false); }),
        Seconds([&] { unpack_and_check(true); }),
        Seconds([&] { comment = ex::SignFile(key, sql, name); }),
        Seconds([&] { ok &= ex::VerifyFile(comment, unpacked, name, keys).ok(); }),
        Seconds([&] { ok &= sync::DescompactarArquivo(zip, dir + "out/", log); }),
        Seconds([&] { checked = CheckStatements(unpacked); }),
        Seconds([&] {
          ex::FileHasher h;
          for (std::size_t i = 0; i < bytes.size(); i += 512 * 1024) {
            h.Update(std::string_view(bytes).substr(i, 512 * 1024));
          }
          h.Finish();
        }),
        Seconds([&] {
          quilvane::platform::Digest(
              quilvane::platform::DigestAlgorithm::kSha512,
              std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
        }),
        Seconds([&] { ex::DigestFile(zip); }),
        Seconds([&] {
          const auto m = ex::SignedMessage(name, ex::FileDigest{});
          ok &= ex::VerifyMessage(key.public_key(), m, key.SignMessage(m));
        }),
    };
    for (int i = 0; i < kSteps; ++i) {
      best[i].wall = std::min(best[i].wall, t[i].wall);
      best[i].cpu = std::min(best[i].cpu, t[i].cpu);
    }
  }
  fs::remove(key_file);
  if (!ok || checked != products) {
    std::printf("FAILED: a step did not succeed (%d of %d statements checked)\n", checked,
                products);
    return 2;
  }
  std::printf("%-58s %8s %8s\n", "step", "wall s", "CPU s");
  for (int i = 0; i < kSteps; ++i) {
    std::printf("%-58s %8.4f %8.4f\n", names[i], best[i].wall, best[i].cpu);
  }
  auto wall = [&](int i) { return best[i].wall; };
  const double sign_added = wall(kPackSigned) / wall(kPack) - 1;
  const double verify_added = wall(kUnpackCheckVerified) / wall(kUnpackCheck) - 1;
  std::printf("wall: signing adds    %5.1f %% to packing\n", 100 * sign_added);
  std::printf("wall: verifying adds  %5.1f %% to unpacking and checking\n", 100 * verify_added);
  std::printf(
      "(in sequence, as before: sign %5.1f %% of pack, verify %5.1f %% of unpack + check)\n",
      100 * wall(kSign) / wall(kPack), 100 * wall(kVerify) / (wall(kUnpack) + wall(kCheck)));
  std::printf("best of %d rounds; comment: %s\n", rounds, comment.c_str());
  return sign_added <= 0.05 && verify_added <= 0.05 ? 0 : 1;
}
