// The package reporter and the listings, compared byte for byte: they are what the
// user sees on the console.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "packages/database.h"
#include "tests/support/console.h"

namespace vl {
namespace {

const std::string kHide = "\x1b[?25l";
const std::string kShow = "\x1b[?25h";
const std::string kWipe = "\r" + std::string(79, ' ') + "\r";

std::string status(const std::string& text, std::size_t oldLength = 0) {
  const std::size_t pad = oldLength > text.size() ? oldLength - text.size() : 0;
  return kHide + "\r" + text + std::string(pad, ' ') + "\r" + kShow;
}

using testing::PipeConsole;

// One status line through its whole life: a warning wipes and redraws it, the same text
// again prints nothing, a shorter one blanks the rest, a message clears it first.
TEST(Reporter, MessagesAndTheStatusLine) {
  PipeConsole console;
  Reporter r(console.fd());
  r.setStatus("");
  r.setStatus("working");
  r.warning("careful %d", 7);
  r.setStatus("working");
  r.setStatus("ab");
  r.info("done");
  r.error("broken %s", "pkg-1.0");
  r.info("%s", std::string(300, 'm').c_str());
  EXPECT_EQ(console.take(), status("working") + kWipe + "WARNING: careful 7\nworking" +
                                status("ab", 7) + status("", 2) + "done\nERROR: broken pkg-1.0\n" +
                                std::string(255, 'm') + "\n");
  EXPECT_EQ(r.messages(),
            (std::vector<std::string>{"WARNING: careful 7", "done", "ERROR: broken pkg-1.0",
                                      std::string(255, 'm')}));
  Reporter quiet(console.fd());
  quiet.setQuiet(true);
  quiet.setStatus("s");
  quiet.error("lost");
  EXPECT_EQ(console.take(), "");
}

TEST(Reporter, WriteFailuresNameThePackageAndTheCause) {
  Package plain;
  plain.name = "system";
  plain.version = 0x0631660A;
  Package member = plain;
  member.bundleName = "suite";
  member.bundleMinimum = 0x07006600;
  PipeConsole console;
  Reporter r(console.fd());
  for (const int error : {ENOSPC, EIO, EACCES}) r.reportWriteFailure(plain, "meta/deps", error);
  r.reportWriteFailure(member, "meta/deps", ENOSPC);
  EXPECT_EQ(console.take(),
            "ERROR: installation of system-6.49.10 failed: disk is too small\n"
            "ERROR: installation of system-6.49.10 failed: disk error\n"
            "ERROR: installation of system-6.49.10 failed: could not create meta/deps: Permission "
            "denied\n"
            "ERROR: installation of suite-7.0 failed: disk is too small\n");
}

// The bar fills 76 columns with its text: 49 here; the longest file does not wrap 32 bits.
TEST(Reporter, ProgressBarStaysWithinItsWidth) {
  const std::string text = "installing system-6.49.10";
  const std::uint64_t big = 0xFFFFFFFFull + 8;
  const struct {
    std::uint64_t position, total;
    std::size_t filled;
  } cases[] = {{500, 1000, 24}, {5000, 1000, 49}, {big, big, 49}, {big / 2, big, 24}, {8, 0, 0}};
  for (const auto& c : cases) {
    EXPECT_EQ(progressText(text, c.position, c.total),
              text + " [" + std::string(c.filled, '#') + std::string(49 - c.filled, ' ') + "]")
        << c.position << "/" << c.total;
  }
  EXPECT_EQ(progressText(std::string(80, 'x'), 1, 2), std::string(80, 'x') + " []");
}

TEST(Listings, DumpAndList) {
  PipeConsole console;
  Repository repo;
  repo.reporter.setOutput(console.fd());
  Package& a = repo.append(std::make_unique<Package>());
  a.name = "system";
  a.version = 0x0631660A;
  a.buildTime = 1700000000;
  a.dependencies = {{"base", 0x06006600, 0x07006600, 0}};
  a.files = {"/bin/a", "/bin/b"};
  a.note = "core";
  Package& b = repo.append(std::make_unique<Package>());
  b.name = "wireless";
  b.version = 0x07006600;
  b.disabled = b.userForced = true;
  b.bundleName = "suite";

  repo.dump();
  EXPECT_EQ(console.take(),
            "package <system> version=6.49.10\n  deps=\n    <base> min=6.0 max=7.0\n"
            "  files=\n    /bin/a\n    /bin/b\n"
            "package <wireless> version=7.0\n   disabled\n   user-forced\n  deps=\n  files=\n\n");
  repo.list();
  EXPECT_EQ(console.take(),
            "            Name          Version                Built"
            "                                    Note\n" +
                std::string(94, '-') +
                "\n"
                "          system          6.49.10 Nov/14/2023 22:13:20"
                "                                     core\n"
                "        wireless XB           7.0 Jan/01/1970 00:00:00"
                "                                         \n");
}

}  // namespace
}  // namespace vl
