#include "tests/transfer/fakes/ftp_script.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace quilvane::testing {

std::vector<FtpStep>::iterator FtpScript::Find(std::string_view command) {
  auto it = std::find_if(steps_.begin(), steps_.end(), [&](const FtpStep& s) {
    return !command.empty() && s.expect.starts_with(command);
  });
  if (it == steps_.end()) throw std::logic_error("no step " + std::string(command));
  return it;
}

FtpScript FtpScript::Answer(std::string_view command, const std::string& reply) const {
  FtpScript out = *this;
  out.Find(command)->reply = reply;
  return out;
}

FtpScript FtpScript::Expecting(std::string_view command, const std::string& line) const {
  FtpScript out = *this;
  out.Find(command)->expect = line;
  return out;
}

FtpScript FtpScript::Skip(std::string_view command) const {
  FtpScript out = *this;
  out.steps_.erase(out.Find(command));
  return out;
}

FtpScript FtpScript::InsertAfter(std::string_view command, const FtpStep& step) const {
  FtpScript out = *this;
  out.steps_.insert(out.Find(command) + 1, step);
  return out;
}

FtpScript FtpScript::Through(std::string_view command) const {
  FtpScript out = *this;
  out.steps_.erase(out.Find(command) + 1, out.steps_.end());
  return out;
}

FtpScript FtpScript::Then(const FtpScript& more) const {
  FtpScript out = *this;
  out.steps_.insert(out.steps_.end(), more.steps_.begin(), more.steps_.end());
  return out;
}

std::vector<std::string> FtpScript::Commands() const {
  std::vector<std::string> out;
  for (const auto& step : steps_) {
    if (!step.expect.empty() && step.expect != kAnyLine) out.push_back(step.expect);
  }
  return out;
}

void FtpScript::Play(PeerConnection& c) const {
  for (const auto& step : steps_) {
    if (step.expect == kAnyLine) {
      c.ReadLine();
    } else if (!step.expect.empty()) {
      c.Expect(step.expect);
    }
    if (step.reply == kCloseConnection) {
      c.Close();
    } else if (!step.reply.empty()) {
      c.Send(step.reply + "\r\n");
    }
  }
}

FtpScript Login(const std::string& greeting) {
  return {
      {"", greeting},
      {"HOST ftp.test", "500 HOST not understood"},
      {"USER conta@quilvane.test", "331 Password required"},
      {"PASS mirvex", "230 Logged in"},
      {"FEAT", "500 FEAT not understood"},
      {"TYPE I", "200 Type set to I"},
      {"SYST", "215 UNIX Type: L8"},
      {"TYPE I", "200 Type set to I"},
  };
}

FtpScript Quit() { return {{"QUIT", "221 Bye"}, {kAnyLine, ""}}; }

std::string PassivePort::Reply() const {
  return "227 Entering Passive Mode " + ScriptedPeer::PasvField(listener_.port());
}

platform::Socket PassivePort::Accept() { return listener_.Accept(std::chrono::milliseconds(3000)); }

}  // namespace quilvane::testing
