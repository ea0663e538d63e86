#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "platform/socket.h"
#include "tests/transfer/fakes/scripted_peer.h"

namespace quilvane::testing {

// One step of an FTP conversation as the server plays it: read the line the
// client must send (none when `expect` is empty, any when it is kAnyLine)
// and answer `reply` (CR LF added; nothing when empty; the connection closed
// when it is kCloseConnection). A reply of several lines holds its inner
// CR LFs.
struct FtpStep {
  std::string expect;
  std::string reply;
};

inline const std::string kAnyLine = "<any>";
inline const std::string kCloseConnection = "<close>";

// The server's side of a conversation as a list of steps. The editing calls
// return an edited copy, so that a test states only what differs from a
// shared script such as Login(): Login().Answer("SYST", "500 no").
class FtpScript {
 public:
  FtpScript() = default;
  FtpScript(std::initializer_list<FtpStep> steps) : steps_(steps) {}

  // The step whose expected line starts with `command` answers `reply`.
  FtpScript Answer(std::string_view command, const std::string& reply) const;
  // The step whose expected line starts with `command` expects `line`.
  FtpScript Expecting(std::string_view command, const std::string& line) const;
  // Without the step whose expected line starts with `command`.
  FtpScript Skip(std::string_view command) const;
  // With `step` after the step whose expected line starts with `command`.
  FtpScript InsertAfter(std::string_view command, const FtpStep& step) const;
  // The steps up to and including the one that expects `command`: the
  // conversation ends there.
  FtpScript Through(std::string_view command) const;
  FtpScript Then(const FtpScript& more) const;

  // The lines the client sends, as the peer's transcript records them.
  std::vector<std::string> Commands() const;

  // Plays the steps on `c`; a line that differs from its step is a failure
  // of the peer, and the steps go on.
  void Play(PeerConnection& c) const;

 private:
  std::vector<FtpStep>::iterator Find(std::string_view command);

  std::vector<FtpStep> steps_;
};

// The plain login most conversations start with: the greeting, HOST
// refused as unknown, USER and PASS, FEAT refused, TYPE I, SYST, TYPE I.
FtpScript Login(const std::string& greeting = "220 Exchange ready");

// "QUIT" answered, then the client's close.
FtpScript Quit();

// A data port the scripted server offers for one passive transfer.
class PassivePort {
 public:
  // "227 Entering Passive Mode (127,0,0,1,p1,p2)".
  std::string Reply() const;
  platform::Socket Accept();

 private:
  platform::Listener listener_;
};

}  // namespace quilvane::testing
