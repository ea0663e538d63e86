// The status page opened in a real browser (Debian's headless Chromium): the
// rows the browser builds from the page are the rows written, hostile
// receipt text included, and screenshots of the desktop and phone layouts
// land in the build folder (status-page/) for a person to look at.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iostream>
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

  // A page of the browser's own that shows `page` in a frame `width` CSS
  // pixels wide (a window is never narrower than 500 here) and writes onto
  // its body what it measured in the frame: the elements that must stay on
  // one line and did not, how many it checked, and the frame's widths.
  std::string Harness(const std::string& page, int width) {
    const std::string path = dir_ + "harness-" + std::to_string(width) + ".html";
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << "<!DOCTYPE html><html><body style=\"margin:0\"><iframe id=\"f\" src=\"file://" << page
        << "\" style=\"border:0;width:" << width
        << "px;height:2600px\" onload=\"measure()\"></iframe><script>\n"
           "function measure() {\n"
           "  const d = document.getElementById('f').contentDocument;\n"
           "  for (const s of d.querySelectorAll('details')) s.open = true;\n"
           "  const wrapped = [];\n"
           "  const whole = d.querySelectorAll('.nw');\n"
           "  for (const el of whole) {\n"
           "    const range = d.createRange();\n"
           "    range.selectNodeContents(el);\n"
           "    const tops = new Set();\n"
           "    for (const r of range.getClientRects()) if (r.width > 0) "
           "tops.add(Math.round(r.top));\n"
           "    if (tops.size > 1) wrapped.push(el.textContent);\n"
           "  }\n"
           "  const b = document.body;\n"
           "  b.setAttribute('data-checked', whole.length);\n"
           "  b.setAttribute('data-wrapped', wrapped.join('|'));\n"
           "  b.setAttribute('data-widths', d.documentElement.scrollWidth + ' ' +\n"
           "                 d.defaultView.innerWidth);\n"
           "}\n</script></body></html>\n";
    return path;
  }

  std::string chromium_;
  std::string dir_ = std::string(QUILVANE_BUILD_DIR) + "/status-page/";
};

std::string Attribute(const std::string& dom, const std::string& name) {
  const std::string key = name + "=\"";
  const size_t at = dom.find(key);
  if (at == std::string::npos) return "(absent)";
  return dom.substr(at + key.size(), dom.find('"', at + key.size()) - at - key.size());
}

TEST_F(StatusPageBrowser, RendersEveryRowAndTakesScreenshots) {
  FleetStatus status = testing_fleet::Chain(120);
  // A receipt that tries to close the table and open its own markup.
  Receipt hostile = testing_fleet::Applied("<script>alert(1)</script>", testing_fleet::kPublished);
  hostile.outcome = Outcome::kFailed;
  hostile.failure = {"</td></tr></table><table><tr class=\"f v\"><td>x</td></tr></table>" +
                     std::string(1 << 20, 'A')};
  status.reports.push_back(testing_fleet::Report(hostile));
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

// A CNPJ, a date and a count never wrap, on a phone or a desktop, whatever
// the names and failures beside them; and nothing pushes the page sideways.
TEST_F(StatusPageBrowser, CnpjDatesAndCountsNeverWrap) {
  FleetStatus status = testing_fleet::Chain(60);
  status.unread_receipts = 12;
  for (int i = 0; i < 6; ++i) {
    Receipt r = testing_fleet::Applied("4" + std::to_string(i) + ".444.444/0001-44",
                                       testing_fleet::AddDays(testing_fleet::kPublished, -i));
    r.name = i % 2 ? "Drogaria Central da Avenida Presidente Juscelino Kubitschek"
                   : std::string(1 << 20, 'W');
    r.changed_count = 12000 + i;
    r.unmatched_count = 1;
    r.unmatched_codes = {std::string(200, '7')};
    r.no_code_count = 2;
    if (i >= 2) r.stale_file_day = testing_fleet::AddDays(testing_fleet::kPublished, -i - 2);
    status.reports.push_back(testing_fleet::Report(r));
  }
  BranchReport forged = testing_fleet::Branch("55.555.555/0001-55", 0);
  forged.file_name = "66666666000166.txt";
  status.reports.push_back(forged);
  const std::string page = dir_ + "status-wrap.html";
  {
    std::ofstream out(page, std::ios::binary | std::ios::trunc);
    out << StatusHtml(status);
  }
  for (const int width : {360, 1280}) {
    SCOPED_TRACE(width);
    const std::string out = dir_ + "wrap-" + std::to_string(width) + ".dom.html";
    ASSERT_EQ(0, Run(Harness(page, width),
                     "--allow-file-access-from-files --window-size=1280,900 --dump-dom", out))
        << ReadAll(out + ".log");
    const std::string dom = ReadAll(out);
    EXPECT_GT(std::stoi("0" + Attribute(dom, "data-checked")), 130);
    EXPECT_EQ("", Attribute(dom, "data-wrapped"));
    EXPECT_EQ(std::to_string(width) + " " + std::to_string(width), Attribute(dom, "data-widths"));

    const std::string shot = dir_ + "status-" + std::to_string(width) + ".png";
    ::unlink(shot.c_str());
    ASSERT_EQ(0, Run(Harness(page, width),
                     "--allow-file-access-from-files --screenshot='" + shot +
                         "' --window-size=" + std::to_string(std::max(width, 500)) + ",2600",
                     shot + ".out"))
        << ReadAll(shot + ".out.log");
    EXPECT_GT(ReadAll(shot).size(), 1000u);
    std::cout << "screenshot: " << shot << "\n";
  }
}

}  // namespace
}  // namespace quilvane::sync
