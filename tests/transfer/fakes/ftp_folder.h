#pragma once

#include <map>
#include <string>
#include <vector>

#include "tests/transfer/fakes/scripted_peer.h"

namespace quilvane::testing {

// A server's exchange folder after the login: answers CWD, TYPE, PASV with
// NLST or STOR, RNFR/RNTO and DELE from `files` until QUIT.
struct FtpFolder {
  std::map<std::string, std::string> files;
  bool case_sensitive = true;
  bool rename_over_existing = true;  // false: RNTO onto a file is refused
  bool cut_stor = false;             // the STOR's data connection breaks: 426
  bool refuse_cwd = false;           // CWD answered 550
  // What a branch would have found at "12345678000190.ZIP" after each command.
  std::vector<std::string> seen_at_final;
};

// Greets, takes any login, then serves `f` on `c` until QUIT.
void ServeFolder(PeerConnection& c, FtpFolder& f);

}  // namespace quilvane::testing
