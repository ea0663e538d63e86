// Pack and unpack times and peak memory of the exchange archive, next to
// Info-ZIP and 7-Zip on the same exchange file in the same run.
//
//   archive_bench [WORKDIR] [PRODUCTS]
//
// Writes a realistic exchange file of PRODUCTS products (default 100,000,
// about 60 MB) into WORKDIR (default /tmp/quilvane-archive-bench), then runs
// every step five times in a child process and prints the best wall time,
// the best CPU time (user + system) and the child's peak resident set size.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "archive/compactar.h"
#include "platform/env.h"
#include "platform/file.h"
#include "sync/exchange_steps.h"
#include "sync/log.h"

namespace {

using quilvane::archive::kArchivePassword;

// A deterministic generator, so every run packs the same bytes.
struct Lcg {
  std::uint64_t s = 0x9E3779B97F4A7C15ull;
  std::uint32_t Next() {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<std::uint32_t>(s >> 33);
  }
  std::uint32_t Below(std::uint32_t n) { return Next() % n; }
};

std::string Money(Lcg& r, std::uint32_t max_cents) {
  const std::uint32_t c = r.Below(max_cents);
  char b[32];
  std::snprintf(b, sizeof b, "%u.%02u", c / 100, c % 100);
  return b;
}

std::string MaybeNull(Lcg& r, const std::string& v) { return r.Below(4) == 0 ? v : "NULL"; }

std::string Quantity(Lcg& r) {
  char b[32];
  std::snprintf(b, sizeof b, "%u.000", 1 + r.Below(12));
  return b;
}

// Lines shaped like the head office's export: a date line, then one UPDATE
// per product, every line ended by CR LF.
void WriteExchangeFile(const std::string& path, int products) {
  quilvane::platform::File f(path, quilvane::platform::File::Mode::kCreate);
  Lcg r;
  std::string buf = "17/10/2023\r\n";
  for (int i = 0; i < products; ++i) {
    const bool promo = r.Below(3) == 0;
    std::string line =
        "UPDATE PRODUTOS SET PRECOCUSTO = " + Money(r, 50000) + ", LUCRO = " + Money(r, 9000) +
        ", PRECOVENDA = " + Money(r, 80000) + ", TIPOPROMOCAO = '" + std::to_string(r.Below(4)) +
        "'" + ", INICIOPROM = " + (promo ? "'01/10/2023'" : "NULL") +
        ", FINALPROM = " + (promo ? "'31/10/2023'" : "NULL") +
        ", DESCPROMVISTA = " + MaybeNull(r, Money(r, 3000)) +
        ", DESCPROMPRAZO = " + MaybeNull(r, Money(r, 3000)) +
        ", PRECOPROMVISTA = " + MaybeNull(r, Money(r, 80000)) +
        ", PRECOPROMPRAZO = " + MaybeNull(r, Money(r, 80000)) +
        ", PROMQTDMINIMAVISTA = " + MaybeNull(r, Quantity(r)) +
        ", PROMQTDMINIMAPRAZO = " + MaybeNull(r, Quantity(r)) +
        ", PROMPAGUEVISTA = " + MaybeNull(r, Quantity(r)) +
        ", PROMLEVEVISTA = " + MaybeNull(r, Quantity(r)) +
        ", PROMPAGUEPRAZO = " + MaybeNull(r, Quantity(r)) +
        ", PROMLEVEPRAZO = " + MaybeNull(r, Quantity(r)) +
        ", PROMKITQTDVISTA = " + MaybeNull(r, Quantity(r)) +
        ", PROMKITVALORVISTA = " + MaybeNull(r, Money(r, 90000)) +
        ", PROMKITQTDPRAZO = " + MaybeNull(r, Quantity(r)) +
        ", PROMKITVALORPRAZO = " + MaybeNull(r, Money(r, 90000)) + ", PROMSOMENTEFEBRAFAR = '" +
        (r.Below(5) == 0 ? "S" : "N") + "'" +
        ", PROMDESCRESIDUALVISTA = " + MaybeNull(r, Money(r, 2000)) +
        ", PROMDESCRESIDUALPRAZO = " + MaybeNull(r, Money(r, 2000)) + " WHERE CODIGO = '" +
        std::to_string(7890000000000ull + r.Below(99999999)) + "'\r\n";
    buf += line;
    if (buf.size() > (1 << 20)) {
      f.Write(buf);
      buf.clear();
    }
  }
  f.Write(buf);
  f.Close();
}

struct Measure {
  double seconds = 0;
  double cpu_seconds = 0;  // user + system: less sensitive to a loaded machine
  long peak_kb = 0;
  int status = 0;
};

// Runs `work` in a child process: wall time from fork to exit and the
// child's own peak RSS.
Measure InChild(const std::function<int()>& work) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) _exit(work());
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  Measure m;
  m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  m.peak_kb = usage.ru_maxrss;
  m.cpu_seconds = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
                  usage.ru_stime.tv_usec / 1e6;
  m.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return m;
}

int Exec(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  if (!std::freopen("/dev/null", "w", stdout)) return 126;
  execvp(args[0], args.data());
  return 127;
}

void Report(const char* name, const std::function<void()>& prepare,
            const std::function<int()>& work) {
  Measure best;
  best.seconds = 1e9;
  best.cpu_seconds = 1e9;
  for (int i = 0; i < 5; ++i) {
    prepare();
    const Measure m = InChild(work);
    if (m.status != 0) {
      std::printf("%-34s FAILED (exit %d)\n", name, m.status);
      return;
    }
    best.seconds = std::min(best.seconds, m.seconds);
    best.cpu_seconds = std::min(best.cpu_seconds, m.cpu_seconds);
    best.peak_kb = std::max(best.peak_kb, m.peak_kb);
  }
  std::printf("%-34s wall %6.3f s  cpu %6.3f s  peak RSS %6.1f MB\n", name, best.seconds,
              best.cpu_seconds, best.peak_kb / 1024.0);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  const std::string dir = (argc > 1 ? std::string(argv[1]) : "/tmp/quilvane-archive-bench") + "/";
  const int products = argc > 2 ? std::atoi(argv[2]) : 100000;
  fs::create_directories(dir + "out");
  const std::string sql = dir + "12345678000190.SQL";
  const std::string zip = dir + "12345678000190.ZIP";
  WriteExchangeFile(sql, products);
  const auto size = fs::file_size(sql);
  std::printf("exchange file: %d products, %.1f MB (%ju bytes)\n", products, size / 1e6,
              static_cast<std::uintmax_t>(size));

  auto clean_out = [&] {
    fs::remove_all(dir + "out");
    fs::create_directories(dir + "out");
  };
  auto no_zip = [&] { fs::remove(zip); };
  const std::string pw = kArchivePassword;

  Report("pack   CompactarArquivo", no_zip, [&] {
    quilvane::sync::Log log(dir, quilvane::platform::Env::Default());
    return quilvane::sync::CompactarArquivo(sql, log, quilvane::platform::Env::Default()) ? 0 : 1;
  });
  std::printf("  archive: %ju bytes\n", static_cast<std::uintmax_t>(fs::file_size(zip)));
  const std::string ours = dir + "ours.zip";
  fs::copy_file(zip, ours, fs::copy_options::overwrite_existing);
  Report("unpack DescompactarArquivo", clean_out, [&] {
    quilvane::sync::Log log(dir, quilvane::platform::Env::Default());
    return quilvane::sync::DescompactarArquivo(ours, dir + "out/", log) ? 0 : 1;
  });
  const std::string infozip = dir + "infozip.zip";
  Report(
      "pack   zip -1 -P", [&] { fs::remove(infozip); },
      [&] {
        return Exec({"zip", "-q", "-j", "-1", "-P", pw, infozip, sql});
      });
  Report("unpack unzip -P (ours)", clean_out, [&] {
    return Exec({"unzip", "-q", "-o", "-P", pw, ours, "-d", dir + "out"});
  });
  const std::string sevenzip = dir + "7z.zip";
  Report(
      "pack   7z a -tzip -mx1 ZipCrypto", [&] { fs::remove(sevenzip); },
      [&] {
        return Exec({"7z", "a", "-tzip", "-mx1", "-mem=ZipCrypto", "-p" + pw, sevenzip, sql});
      });
  Report("unpack 7z x (ours)", clean_out, [&] {
    return Exec({"7z", "x", "-y", "-p" + pw, "-o" + dir + "out", ours});
  });
  // Peak memory must not follow the file's size: the same steps on a tenth.
  const std::string small = dir + "small/";
  fs::create_directories(small);
  WriteExchangeFile(small + "12345678000190.SQL", products / 10);
  Report(
      "pack   CompactarArquivo (1/10)", [&] { fs::remove(small + "12345678000190.ZIP"); },
      [&] {
        quilvane::sync::Log log(small, quilvane::platform::Env::Default());
        return quilvane::sync::CompactarArquivo(small + "12345678000190.SQL", log,
                                                quilvane::platform::Env::Default())
                   ? 0
                   : 1;
      });
  Report("unpack DescompactarArquivo (1/10)", clean_out, [&] {
    quilvane::sync::Log log(small, quilvane::platform::Env::Default());
    return quilvane::sync::DescompactarArquivo(small + "12345678000190.ZIP", dir + "out/", log) ? 0
                                                                                                : 1;
  });
  return 0;
}
