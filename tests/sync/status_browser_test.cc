// The status page opened in a real browser (Debian's headless Chromium): the
// rows the browser builds from the page are the rows written, hostile
// receipt text included, and screenshots of the desktop and phone layouts
// land in the build folder (status-page/) for a person to look at.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "sync/status_page.h"
#include "tests/support/temp_dir.h"
#include "tests/sync/status_fixture.h"

namespace quilvane::sync {
namespace {

std::string FindChromium() {
  for (const char* path : {"/usr/bin/chromium", "/usr/bin/chromium-browser"}) {
    if (::access(path, X_OK) == 0) return path;
  }
  return "";
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class StatusPageBrowser : public ::testing::Test {
 protected:
  void SetUp() override {
    chromium_ = FindChromium();
    if (chromium_.empty()) {
      GTEST_SKIP() << "chromium is not installed (scripts/packages.d/60-browser.txt)";
    }
    ::mkdir(dir_.c_str(), 0755);
  }

  // Runs the browser on a local file only, with everything that would reach
  // out to the network turned off, and a profile of its own.
  int Run(const std::string& page, const std::string& what, const std::string& out) {
    testing::TempDir profile;
    const std::string command =
        "timeout 120 '" + chromium_ +
        "' --headless --no-sandbox --disable-gpu --disable-quic --no-first-run"
        " --disable-background-networking --disable-component-update --disable-sync"
        " --disable-extensions --hide-scrollbars --user-data-dir='" +
        profile.path() + "' " + what + " 'file://" + page + "' > '" + out + "' 2> '" + out +
        ".log'";
    return std::system(command.c_str());
  }

  std::string chromium_;
  std::string dir_ = std::string(QUILVANE_BUILD_DIR) + "/status-page/";
};

TEST_F(StatusPageBrowser, RendersEveryRowAndTakesScreenshots) {
  FleetStatus status = testing_fleet::Chain(120);
  // A receipt that tries to close the table and open its own markup.
  Receipt hostile = testing_fleet::Applied("<script>alert(1)</script>", testing_fleet::kPublished);
  hostile.outcome = Outcome::kFalhou;
  hostile.failure = {"</td></tr></table><table><tr class=\"f v\"><td>x</td></tr></table>" +
                     std::string(1 << 20, 'A')};
  status.reports.push_back(BranchReport{"hostil.txt", ParsedReceipt{hostile, ""}});
  const std::string page = dir_ + "status.html";
  {
    std::ofstream out(page, std::ios::binary | std::ios::trunc);
    out << StatusHtml(status);
  }

  ASSERT_EQ(0, Run(page, "--dump-dom", dir_ + "status.dom.html"))
      << ReadAll(dir_ + "status.dom.html.log");
  const std::string dom = ReadAll(dir_ + "status.dom.html");
  EXPECT_EQ(121u, Count(dom, "<tr class=\"f ")) << "rows the browser built";
  EXPECT_EQ(1u, Count(dom, "<details>"));
  EXPECT_EQ(0u, Count(dom, "<script"));
  EXPECT_NE(std::string::npos, dom.find("de 121 filiais em dia"));

  for (const auto& [name, size] :
       {std::pair{"status.png", "1280,1400"}, std::pair{"status-phone.png", "390,1400"}}) {
    SCOPED_TRACE(name);
    const std::string shot = dir_ + name;
    ::unlink(shot.c_str());
    ASSERT_EQ(0, Run(page, std::string("--screenshot='") + shot + "' --window-size=" + size,
                     dir_ + name + ".out"))
        << ReadAll(dir_ + name + ".out.log");
    const std::string png = ReadAll(shot);
    ASSERT_GT(png.size(), 1000u);
    EXPECT_EQ(std::string("\x89PNG", 4), png.substr(0, 4));
    std::cout << "screenshot: " << shot << "\n";
  }
}

}  // namespace
}  // namespace quilvane::sync
