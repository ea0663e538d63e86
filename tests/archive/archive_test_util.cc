#include "tests/archive/archive_test_util.h"

#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace quilvane::archive::testing {
namespace {

void Put16(std::string& s, std::uint16_t v) {
  s += static_cast<char>(v & 0xFF);
  s += static_cast<char>(v >> 8);
}
void Put32(std::string& s, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
}

}  // namespace

ToolResult RunTool(const std::vector<std::string>& argv, const std::string& input) {
  ToolResult result;
  int in_pipe[2], out_pipe[2];
  if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0) return result;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    close(in_pipe[1]);
    close(out_pipe[0]);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  // Feed stdin from a thread-free loop: small inputs only, written before
  // reading so the pipe buffer must hold the tool's output meanwhile. Larger
  // inputs go through a file instead.
  size_t done = 0;
  while (done < input.size()) {
    const ssize_t n = write(in_pipe[1], input.data() + done, input.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(in_pipe[1]);
  char buf[65536];
  while (true) {
    const ssize_t n = read(out_pipe[0], buf, sizeof buf);
    if (n <= 0) break;
    result.out.append(buf, static_cast<size_t>(n));
  }
  close(out_pipe[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::optional<std::string> FindTool(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const std::string candidate = dir + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return std::nullopt;
}

RawMember Stored(const std::string& name, const std::string& data) {
  RawMember m;
  m.name = name;
  m.data = data;
  m.crc = Crc32(data);
  m.uncompressed_size = static_cast<std::uint32_t>(data.size());
  return m;
}

RawMember Deflated(const std::string& name, const std::string& data,
                   std::optional<std::uint32_t> declared_size) {
  RawMember m;
  m.name = name;
  m.data = RawDeflate(data);
  m.method = 8;
  m.crc = Crc32(data);
  m.uncompressed_size = declared_size ? *declared_size : static_cast<std::uint32_t>(data.size());
  return m;
}

std::string BuildZip(const std::vector<RawMember>& members) {
  std::string body, dir;
  for (const auto& m : members) {
    const auto offset = static_cast<std::uint32_t>(body.size());
    Put32(body, 0x04034B50);
    Put16(body, 20);
    Put16(body, m.flags);
    Put16(body, m.method);
    Put16(body, 0x6000);
    Put16(body, 0x5751);
    Put32(body, m.crc);
    Put32(body, static_cast<std::uint32_t>(m.data.size()));
    Put32(body, m.uncompressed_size);
    Put16(body, static_cast<std::uint16_t>(m.name.size()));
    Put16(body, 0);
    body += m.name;
    body += m.data;
    Put32(dir, 0x02014B50);
    Put16(dir, 20);
    Put16(dir, 20);
    Put16(dir, m.flags);
    Put16(dir, m.method);
    Put16(dir, 0x6000);
    Put16(dir, 0x5751);
    Put32(dir, m.crc);
    Put32(dir, static_cast<std::uint32_t>(m.data.size()));
    Put32(dir, m.uncompressed_size);
    Put16(dir, static_cast<std::uint16_t>(m.name.size()));
    Put16(dir, 0);
    Put16(dir, 0);
    Put16(dir, 0);
    Put16(dir, 0);
    Put32(dir, m.external_attributes);
    Put32(dir, offset);
    dir += m.name;
  }
  std::string end;
  Put32(end, 0x06054B50);
  Put16(end, 0);
  Put16(end, 0);
  Put16(end, static_cast<std::uint16_t>(members.size()));
  Put16(end, static_cast<std::uint16_t>(members.size()));
  Put32(end, static_cast<std::uint32_t>(dir.size()));
  Put32(end, static_cast<std::uint32_t>(body.size()));
  Put16(end, 0);
  return body + dir + end;
}

std::uint32_t Crc32(const std::string& data) {
  return static_cast<std::uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

std::string RawInflate(const std::string& data) {
  z_stream z{};
  if (inflateInit2(&z, -MAX_WBITS) != Z_OK) throw std::runtime_error("inflateInit2");
  std::string out;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  char buf[65536];
  int rc;
  do {
    z.next_out = reinterpret_cast<Bytef*>(buf);
    z.avail_out = sizeof buf;
    rc = inflate(&z, Z_NO_FLUSH);
    out.append(buf, sizeof buf - z.avail_out);
  } while (rc == Z_OK);
  inflateEnd(&z);
  if (rc != Z_STREAM_END) throw std::runtime_error("inflate failed: " + std::to_string(rc));
  return out;
}

std::string RawDeflate(const std::string& data) {
  z_stream z{};
  if (deflateInit2(&z, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw std::runtime_error("deflateInit2");
  }
  std::string out(deflateBound(&z, data.size()), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(out.size() - z.avail_out);
  deflateEnd(&z);
  return out;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::vector<std::string> ListFiles(const std::string& dir) {
  std::vector<std::string> files;
  std::error_code ec;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir, ec)) {
    if (e.is_regular_file()) {
      files.push_back(std::filesystem::relative(e.path(), dir).generic_string());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::string ExchangeText(int products) {
  std::string s = "17/10/2023\r\n";
  char line[512];
  for (int i = 1; i <= products; ++i) {
    const int cents = (i * 7919) % 100000;
    std::snprintf(line, sizeof line,
                  "UPDATE PRODUTOS SET PRECOCUSTO = %d.%02d, PRECOVENDA = %d.%02d, "
                  "MARGEM = %d.%02d, PROMOCAO = '%c', PRECOPROMOCAO = %d.%02d, "
                  "DATAINICIOPROMOCAO = '01.10.2023', DATAFIMPROMOCAO = '31.10.2023' "
                  "WHERE CODIGO = %d;\r\n",
                  cents / 100, cents % 100, cents * 3 / 200, (cents * 3 / 2) % 100, 30 + i % 40,
                  i % 100, (i % 5 == 0) ? 'S' : 'N', cents / 110, i % 100, i);
    s += line;
  }
  return s;
}

}  // namespace quilvane::archive::testing
