#include "transfer/ftp_reply.h"

#include <cctype>
#include <climits>

#include "platform/text.h"

namespace quilvane::transfer {
namespace {

bool IsBlankOrControl(unsigned char c) { return c <= ' ' || c == 0x7f; }

std::string TrimLine(std::string_view line) {
  while (!line.empty() && IsBlankOrControl(static_cast<unsigned char>(line.front()))) {
    line.remove_prefix(1);
  }
  while (!line.empty() && IsBlankOrControl(static_cast<unsigned char>(line.back()))) {
    line.remove_suffix(1);
  }
  return std::string(line);
}

std::string TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return std::string(s);
}

bool ThreeDigits(std::string_view s) {
  return s.size() >= 3 && std::isdigit(static_cast<unsigned char>(s[0])) &&
         std::isdigit(static_cast<unsigned char>(s[1])) &&
         std::isdigit(static_cast<unsigned char>(s[2]));
}

using platform::EqualsIgnoreAsciiCase;

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && EqualsIgnoreAsciiCase(s.substr(0, prefix.size()), prefix);
}

std::string FirstWord(const std::string& line) {
  std::string t = TrimBlanks(line);
  return t.substr(0, t.find(' '));
}

// Decimal text to an int, blanks around it allowed, as the number
// conversion reads it; anything else fails with its message.
int StrToInt(std::string_view text) {
  std::string t = TrimBlanks(text);
  size_t i = 0;
  bool negative = false;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) negative = t[i++] == '-';
  if (i == t.size()) throw platform::Error("'" + t + "' is not a valid integer value");
  long long value = 0;
  for (; i < t.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(t[i])) || value > INT_MAX) {
      throw platform::Error("'" + t + "' is not a valid integer value");
    }
    value = value * 10 + (t[i] - '0');
  }
  if (negative) value = -value;
  if (value > INT_MAX || value < INT_MIN) {
    throw platform::Error("'" + t + "' is not a valid integer value");
  }
  return static_cast<int>(value);
}

// The pieces of `text` between the separators, each as it stands.
std::vector<std::string> Split(const std::string& text, char separator, size_t max_pieces) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t at = text.find(separator, start);
    parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos || parts.size() > max_pieces) break;
    start = at + 1;
  }
  return parts;
}

}  // namespace

std::string FtpReply::Text() const {
  std::string out;
  for (const auto& line : text) out += line + "\r\n";
  return out;
}

bool FtpReplyFramer::Add(std::string_view raw) {
  std::string line = TrimLine(raw);
  if (line.empty()) return false;
  lines_.push_back(std::move(line));
  const std::string& first = lines_.front();
  const std::string& last = lines_.back();
  if (lines_.size() == 1) return !(first.size() > 3 && first[3] == '-');
  return ThreeDigits(last) && last.compare(0, 3, first, 0, 3) == 0 &&
         (last.size() == 3 || last[3] == ' ');
}

FtpReply FtpReplyFramer::reply() const {
  FtpReply reply;
  if (lines_.empty()) return reply;
  const std::string code_text = lines_.front().substr(0, 3);
  reply.code = ThreeDigits(code_text) ? std::stoi(code_text) : 0;
  for (const auto& line : lines_) {
    if (line.compare(0, 3, code_text) == 0 && line.size() >= 3) {
      reply.text.push_back(line.size() > 4 ? line.substr(4) : std::string());
    } else {
      reply.text.push_back(line);
    }
  }
  return reply;
}

PassiveAddress ParsePassiveReply(std::string_view line_in) {
  std::string line = TrimBlanks(line_in);
  size_t open = line.find('(');
  std::string field;
  if (open == std::string::npos) {
    size_t blank = line.rfind(' ');
    field = blank == std::string::npos ? line : line.substr(blank + 1);
  } else {
    size_t close = line.find(')');
    // Without ")" (or with one before "("), the field runs to the end.
    field = close == std::string::npos || close < open ? line.substr(open + 1)
                                                       : line.substr(open + 1, close - open - 1);
  }
  std::vector<std::string> parts = Split(field, ',', 64);
  while (parts.size() < 6) parts.emplace_back();
  PassiveAddress out;
  out.host = TrimBlanks(parts[0]) + "." + TrimBlanks(parts[1]) + "." + TrimBlanks(parts[2]) + "." +
             TrimBlanks(parts[3]);
  int p1 = StrToInt(parts[4]);
  int p2 = StrToInt(parts[5]);
  out.port = (p1 & 255) * 256 + (p2 & 255);
  return out;
}

bool IsPrivateAddressText(std::string_view host) {
  if (host.starts_with("127") || host.starts_with("10.") || host.starts_with("169.254") ||
      host.starts_with("192.168")) {
    return true;
  }
  if (host.starts_with("172") && host.size() >= 7 && host[6] == '.' &&
      std::isdigit(static_cast<unsigned char>(host[4])) &&
      std::isdigit(static_cast<unsigned char>(host[5]))) {
    int second = (host[4] - '0') * 10 + (host[5] - '0');
    return second >= 16 && second <= 31;
  }
  return false;
}

std::string ChoosePassiveHost(const std::string& pasv_host, const std::string& control_peer) {
  if (IsPrivateAddressText(pasv_host) && !IsPrivateAddressText(control_peer)) return control_peer;
  return pasv_host;
}

bool HasFeature(const std::vector<std::string>& features, std::string_view word) {
  for (const auto& line : features) {
    if (EqualsIgnoreAsciiCase(FirstWord(line), word)) return true;
  }
  return false;
}

bool ServerTakesSiteZone(const FtpReply& greeting, const std::vector<std::string>& features) {
  std::string first = greeting.text.empty() ? std::string() : greeting.text.front();
  for (const char* name : {"Serv-U ", "BPFTP Server ", "TitanFTP server ", "Titan FTP Server "}) {
    if (StartsWithNoCase(first, name)) return true;
  }
  for (const auto& line : features) {
    if (!EqualsIgnoreAsciiCase(FirstWord(line), "SITE")) continue;
    for (const auto& fact : Split(TrimBlanks(line).substr(4), ';', SIZE_MAX)) {
      if (EqualsIgnoreAsciiCase(TrimBlanks(fact), "ZONE")) return true;
    }
  }
  return false;
}

}  // namespace quilvane::transfer
