#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"

namespace quilvane::transfer {

// A reply read on the control connection: the code and its text lines (the
// code and the character after it removed from the lines that start with it).
struct FtpReply {
  int code = 0;
  std::vector<std::string> text;
  // The failure text: every line followed by CR LF.
  std::string Text() const;
};

// A reply outside the codes a command accepts; what() is the reply's text.
class FtpReplyError : public platform::Error {
 public:
  explicit FtpReplyError(const FtpReply& reply)
      : platform::Error(reply.Text()), code_(reply.code) {}
  int code() const { return code_; }

 private:
  int code_;
};

// Frames the lines of the control connection into one reply. Fed the
// decoded lines one at a time (line breaks removed), it says when the reply
// is complete. Lines are trimmed of blanks and control characters; lines
// left empty are skipped. A reply whose first line has "-" after its code
// runs to the line that starts with the same three digits and a blank (or
// is just them).
class FtpReplyFramer {
 public:
  // Takes the next line; true when the reply is complete (then reply() is
  // final and Add is not called again).
  bool Add(std::string_view line);
  // The code is 0 when the first line does not start with three digits.
  FtpReply reply() const;

 private:
  std::vector<std::string> lines_;
};

// A PASV reply's address, before the private-address rule.
struct PassiveAddress {
  std::string host;  // h1.h2.h3.h4 as text
  int port = 0;
};

// Parses the first text line of a 227 reply. Throws platform::Error with the
// number conversion's message when a field is not a number.
PassiveAddress ParsePassiveReply(std::string_view line);

// Whether an address text counts as not publicly routable.
bool IsPrivateAddressText(std::string_view host);

// The host the data connection goes to: a private PASV host is replaced by the
// control connection's peer when that peer is public.
std::string ChoosePassiveHost(const std::string& pasv_host, const std::string& control_peer);

// Whether a FEAT line's first word is `word` (without regard to case).
bool HasFeature(const std::vector<std::string>& features, std::string_view word);

// Whether the server takes "SITE ZONE": its greeting names a server known
// for it, or a "SITE" feature line lists "ZONE" among its facts.
bool ServerTakesSiteZone(const FtpReply& greeting, const std::vector<std::string>& features);

}  // namespace quilvane::transfer
