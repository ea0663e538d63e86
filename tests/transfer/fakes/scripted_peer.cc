#include "tests/transfer/fakes/scripted_peer.h"

namespace quilvane::testing {
namespace {
constexpr auto kPeerWait = std::chrono::milliseconds(5000);
}

PeerConnection::PeerConnection(platform::Socket socket,
                               std::function<void(const std::string&)> record,
                               std::function<void(const std::string&)> fail)
    : socket_(std::move(socket)), record_(std::move(record)), fail_(std::move(fail)) {
  socket_.socket().set_idle_timeout(kPeerWait);
}

std::string PeerConnection::ReadLine() {
  std::string line;
  try {
    auto got = socket_.ReadLine(1 << 20, platform::Deadline::max());
    line = got ? *got : "<closed>";
  } catch (const platform::Error& e) {
    line = std::string("<error: ") + e.what() + ">";
  }
  record_(line);
  return line;
}

void PeerConnection::Expect(const std::string& want) {
  std::string got = ReadLine();
  if (got != want) fail_("expected \"" + want + "\", got \"" + got + "\"");
}

std::string PeerConnection::ReadRequestHead() {
  std::string head;
  for (;;) {
    auto line = socket_.ReadLine(1 << 20, platform::Deadline::max());
    if (!line) break;
    head += *line + "\r\n";
    if (line->empty()) break;
  }
  if (!head.empty()) record_(head);
  return head;
}

std::string PeerConnection::ReadToEnd() {
  std::string all;
  try {
    for (;;) {
      std::string_view bytes = socket_.ReadSome(1 << 16, platform::Deadline::max());
      if (bytes.empty()) break;
      all.append(bytes);
    }
  } catch (const platform::Error& e) {
    fail_(std::string("reading to the end: ") + e.what());
  }
  return all;
}

void PeerConnection::Send(const std::string& bytes) {
  try {
    socket_.WriteAll(bytes, platform::Deadline::max());
  } catch (const platform::Error& e) {
    // The client may have gone already; the test's own assertions tell.
    record_(std::string("<send failed: ") + e.what() + ">");
  }
}

bool PeerConnection::ClientClosed(std::chrono::milliseconds wait) {
  if (!socket_.socket().WaitReadable(wait)) return false;
  return socket_.socket().PeerClosed();
}

ScriptedPeer::ScriptedPeer(Script script, int connections) : port_(listener_.port()) {
  thread_ = std::thread([this, script = std::move(script), connections] {
    for (int i = 0; i < connections; ++i) {
      platform::Socket socket;
      try {
        socket = listener_.Accept(kPeerWait);
      } catch (const platform::Error& e) {
        std::lock_guard lock(mutex_);
        failures_.push_back("connection " + std::to_string(i) + " never came: " + e.what());
        return;
      }
      {
        std::lock_guard lock(mutex_);
        ++accepted_;
      }
      PeerConnection conn(
          std::move(socket),
          [this](const std::string& line) {
            std::lock_guard lock(mutex_);
            transcript_.push_back(line);
          },
          [this](const std::string& failure) {
            std::lock_guard lock(mutex_);
            failures_.push_back(failure);
          });
      try {
        script(conn, i);
      } catch (const std::exception& e) {
        std::lock_guard lock(mutex_);
        failures_.push_back(std::string("script threw: ") + e.what());
      }
    }
  });
}

ScriptedPeer::~ScriptedPeer() { Join(); }

void ScriptedPeer::Join() {
  if (thread_.joinable()) thread_.join();
}

std::vector<std::string> ScriptedPeer::transcript() {
  std::lock_guard lock(mutex_);
  return transcript_;
}

std::vector<std::string> ScriptedPeer::failures() {
  std::lock_guard lock(mutex_);
  return failures_;
}

int ScriptedPeer::accepted() {
  std::lock_guard lock(mutex_);
  return accepted_;
}

std::string ScriptedPeer::PasvField(std::uint16_t port) {
  return "(127,0,0,1," + std::to_string(port / 256) + "," + std::to_string(port % 256) + ")";
}

}  // namespace quilvane::testing
