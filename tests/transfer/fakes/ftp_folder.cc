#include "tests/transfer/fakes/ftp_folder.h"

#include <chrono>
#include <optional>
#include <span>

#include "platform/socket.h"
#include "platform/text.h"

namespace quilvane::testing {
namespace {

using namespace std::chrono_literals;

std::string Key(const FtpFolder& f, const std::string& name) {
  if (f.case_sensitive) return name;
  for (const auto& [k, v] : f.files) {
    if (platform::EqualsIgnoreAsciiCase(k, name)) return k;
  }
  return name;
}

}  // namespace

void ServeFolder(PeerConnection& c, FtpFolder& f) {
  c.Send("220 ready\r\n");
  for (const char* reply :
       {"500 no\r\n", "331 pw\r\n", "230 ok\r\n", "211-Features:\r\n MDTM\r\n211 End\r\n",
        "200 ok\r\n", "215 UNIX\r\n", "200 ok\r\n"}) {
    c.ReadLine();
    c.Send(reply);
  }
  std::optional<platform::Listener> data;
  std::string from;
  for (;;) {
    const std::string line = c.ReadLine();
    const std::string arg =
        line.find(' ') == std::string::npos ? "" : line.substr(line.find(' ') + 1);
    if (line == "QUIT") {
      c.Send("221 bye\r\n");
      return;
    } else if (line.starts_with("CWD")) {
      c.Send(f.refuse_cwd ? "550 " + arg + ": No such file or directory\r\n" : "250 ok\r\n");
    } else if (line.starts_with("TYPE")) {
      c.Send("200 ok\r\n");
    } else if (line == "PASV") {
      data.emplace();
      c.Send("227 Entering Passive Mode " + ScriptedPeer::PasvField(data->port()) + "\r\n");
    } else if (line == "NLST") {
      auto conn = data->Accept(3000ms);
      c.Send("150 listing\r\n");
      std::string listing;
      for (const auto& [name, bytes] : f.files) listing += name + "\r\n";
      conn.WriteAll(listing);
      conn.Close();
      c.Send("226 done\r\n");
    } else if (line.starts_with("STOR ")) {
      auto conn = data->Accept(3000ms);
      c.Send("150 go\r\n");
      std::string& stored = f.files[Key(f, arg)];
      stored.clear();
      char buf[4096];
      for (size_t n; (n = conn.Read(std::span<char>(buf, sizeof buf))) > 0;) {
        stored.append(buf, f.cut_stor ? n / 2 : n);
        if (f.cut_stor) break;
      }
      conn.Close();
      c.Send(f.cut_stor ? "426 Connection closed; transfer aborted.\r\n" : "226 stored\r\n");
    } else if (line.starts_with("RNFR ")) {
      from = Key(f, arg);
      c.Send(f.files.count(from) ? "350 ready\r\n" : "550 no such file\r\n");
    } else if (line.starts_with("RNTO ")) {
      const std::string to = Key(f, arg);
      if (f.files.count(to) && !f.rename_over_existing) {
        c.Send("550 file exists\r\n");
      } else {
        std::string bytes = f.files[from];
        f.files.erase(from);
        f.files.erase(to);
        f.files[f.case_sensitive ? arg : arg] = bytes;
        c.Send("250 renamed\r\n");
      }
    } else if (line.starts_with("DELE ")) {
      c.Send(f.files.erase(Key(f, arg)) ? "250 deleted\r\n" : "550 no such file\r\n");
    } else {
      c.Send("502 not here\r\n");
    }
    const auto at = f.files.find(Key(f, "12345678000190.ZIP"));
    f.seen_at_final.push_back(at == f.files.end() ? "<none>" : at->second);
  }
}

}  // namespace quilvane::testing
