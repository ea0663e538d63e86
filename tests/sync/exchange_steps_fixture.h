#pragma once

// The tests of the exchange steps' log lines: a site's folder with its
// clients, the lines a step logged, and a table's expected lines.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "archive/compactar.h"
#include "platform/file.h"
#include "platform/logger.h"
#include "sync/exchange_steps.h"
#include "tests/support/temp_dir.h"
#include "transfer/ftp_client.h"
#include "transfer/http_client.h"

namespace quilvane::sync::testing {

class Lines : public platform::Logger {
 public:
  void DoSaveLog(std::string_view line) override { lines.emplace_back(line); }
  std::vector<std::string> lines;
};

// A site's folder, the log the steps write to, and the clients they use,
// with limits short enough for stalled peers.
struct Site {
  Site() {
    using namespace std::chrono_literals;
    platform::CreateDirectories(dir.File("out"));
    transfer::HttpTimeouts web;
    web.idle = 500ms;
    http.set_timeouts(web);
    transfer::FtpTimeouts ftp_limits;
    ftp_limits.idle = 500ms;
    ftp.set_timeouts(ftp_limits);
  }

  std::string File(const std::string& name) const { return dir.File(name); }
  std::string Out() const { return dir.File("out/"); }

  quilvane::testing::TempDir dir;
  Lines log;
  transfer::HttpClient http;
  transfer::FtpClient ftp;
};

// One line the step must log: the whole of it, or how it starts where the
// rest is the system's own text. "{dir}" stands for the site's folder.
struct Want {
  std::string text;
  bool whole = true;
};
inline Want StartsWith(std::string text) { return {std::move(text), false}; }

struct StepCase {
  const char* name;
  bool (*run)(Site&);
  bool ok;
  std::vector<Want> lines;
};

inline void ExpectLines(const std::vector<std::string>& got, const std::vector<Want>& want,
                        const std::string& dir) {
  ASSERT_EQ(got.size(), want.size()) << (got.empty() ? "" : got.back());
  for (size_t i = 0; i < want.size(); ++i) {
    std::string text = want[i].text;
    if (const auto at = text.find("{dir}"); at != std::string::npos) text.replace(at, 5, dir);
    if (want[i].whole) {
      EXPECT_EQ(got[i], text);
    } else {
      EXPECT_TRUE(got[i].starts_with(text)) << got[i];
    }
  }
}

// Runs a case on a fresh site: what the step returns and every line it logged.
inline void RunStepCase(const StepCase& c) {
  Site site;
  EXPECT_EQ(c.run(site), c.ok);
  ExpectLines(site.log.lines, c.lines, site.dir.path());
}

}  // namespace quilvane::sync::testing
