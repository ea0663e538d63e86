// The listings of FtpClient: names ("NLST"), machine listings ("MLSD"),
// long listings ("LIST") and "SIZE".
#include "transfer/ftp_client.h"
#include "transfer/ftp_listing.h"

namespace quilvane::transfer {
namespace {

// A listing's names: one per line, untrimmed, at CR LF, a lone LF or a lone
// CR; a break at the very end adds no name.
std::vector<std::string> SplitListing(const std::string& text) {
  std::vector<std::string> entries;
  size_t start = 0;
  while (start < text.size()) {
    size_t brk = text.find_first_of("\r\n", start);
    if (brk == std::string::npos) {
      entries.push_back(text.substr(start));
      break;
    }
    entries.push_back(text.substr(start, brk - start));
    start = brk + (text[brk] == '\r' && brk + 1 < text.size() && text[brk + 1] == '\n' ? 2 : 1);
  }
  return entries;
}

}  // namespace

// The ASCII type a listing needs, put back to binary when it ends. Restore()
// reports a failure of "TYPE I"; when the listing failed instead, the
// destructor restores best effort, so that the listing's own failure is the
// one reported.
class FtpClient::AsciiListing {
 public:
  explicit AsciiListing(FtpClient& ftp) : ftp_(ftp) {
    if (ftp_.type_ == TransferType::kAscii) return;
    ftp_.SendCmd("TYPE A", {200});
    ftp_.type_ = TransferType::kAscii;
    changed_ = true;
  }
  AsciiListing(const AsciiListing&) = delete;
  AsciiListing& operator=(const AsciiListing&) = delete;

  ~AsciiListing() {
    if (!changed_) return;
    ftp_.type_ = TransferType::kBinary;
    if (!ftp_.connected()) return;
    try {
      ftp_.SendCmd("TYPE I", {200});
    } catch (...) {
    }
  }

  void Restore() {
    if (!changed_) return;
    changed_ = false;
    ftp_.type_ = TransferType::kBinary;
    ftp_.SendCmd("TYPE I", {200});
  }

 private:
  FtpClient& ftp_;
  bool changed_ = false;
};

std::vector<std::string> FtpClient::ListLines(const std::string& command) {
  StartStep();
  AsciiListing ascii(*this);
  std::vector<std::string> lines = SplitListing(Decode(PassiveReceive(command)));
  ascii.Restore();
  return lines;
}

void FtpClient::List(std::vector<std::string>& dest) { dest = ListLines("NLST"); }

bool FtpClient::offers_machine_listing() const { return HasFeature(capabilities_, "MLST"); }

void FtpClient::ListMachine(std::vector<std::string>& dest) { dest = ListLines("MLSD"); }

void FtpClient::ListDetails(std::vector<std::string>& dest) { dest = ListLines("LIST"); }

std::uint64_t FtpClient::Size(const std::string& name) {
  StartStep();
  const FtpReply reply = SendCmd("SIZE " + name, {213});
  const auto size = ParseSizeText(reply.text.empty() ? std::string() : reply.text.front());
  if (!size) throw platform::Error("SIZE " + name + ": the answer is not a size.");
  return *size;
}

}  // namespace quilvane::transfer
