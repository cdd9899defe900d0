// The package reporter and the listings, compared byte for byte: they are what the
// user sees on the console.
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
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

TEST(Reporter, MessagesAndTheStatusLine) {
  struct Case {
    const char* what;
    std::function<void(Reporter&)> run;
    std::string console;
  };
  const Case cases[] = {
      {"an error", [](Reporter& r) { r.error("broken %s", "pkg-1.0"); }, "ERROR: broken pkg-1.0\n"},
      {"a warning under a status line: wiped, printed, status again",
       [](Reporter& r) {
         r.setStatus("working");
         r.warning("careful %d", 7);
       },
       status("working") + kWipe + "WARNING: careful 7\nworking"},
      {"an info clears the status first",
       [](Reporter& r) {
         r.setStatus("working");
         r.info("done");
       },
       status("working") + status("", 7) + "done\n"},
      {"an error clears the status first",
       [](Reporter& r) {
         r.setStatus("abc");
         r.error("x");
       },
       status("abc") + status("", 3) + "ERROR: x\n"},
      {"a shorter status blanks the rest of the longer one",
       [](Reporter& r) {
         r.setStatus("abcdef");
         r.setStatus("ab");
       },
       status("abcdef") + status("ab", 6)},
      {"the same status again prints nothing",
       [](Reporter& r) {
         r.setStatus("same");
         r.setStatus("same");
       },
       status("same")},
      {"an empty status when none is shown prints nothing", [](Reporter& r) { r.setStatus(""); },
       ""},
      {"a message is cut at 255 characters",
       [](Reporter& r) { r.info("%s", std::string(300, 'm').c_str()); },
       std::string(255, 'm') + "\n"},
      {"quiet prints nothing",
       [](Reporter& r) {
         r.setQuiet(true);
         r.setStatus("s");
         r.error("e");
         r.warning("w");
       },
       ""},
  };
  for (const Case& c : cases) {
    PipeConsole console;
    Reporter reporter(console.fd());
    c.run(reporter);
    EXPECT_EQ(console.take(), c.console) << c.what;
  }
}

TEST(Reporter, CollectsEveryPrintedMessage) {
  PipeConsole console;
  Reporter reporter(console.fd());
  reporter.error("one");
  reporter.setStatus("s");
  reporter.warning("two");
  reporter.info("three");
  EXPECT_EQ(reporter.messages(), (std::vector<std::string>{"ERROR: one", "WARNING: two", "three"}));
  Reporter quiet(console.fd());
  quiet.setQuiet(true);
  quiet.error("lost");
  EXPECT_TRUE(quiet.messages().empty());
}

TEST(Reporter, WriteFailuresNameThePackageAndTheCause) {
  Package plain;
  plain.name = "system";
  plain.version = 0x0631660A;
  Package member = plain;
  member.name = "wireless";
  member.bundleName = "suite";
  member.bundleMinimum = 0x07006600;
  struct Case {
    const Package* package;
    int error;
    std::string message;
  };
  const Case cases[] = {
      {&plain, ENOSPC, "ERROR: installation of system-6.49.10 failed: disk is too small"},
      {&plain, EIO, "ERROR: installation of system-6.49.10 failed: disk error"},
      {&plain, EACCES,
       "ERROR: installation of system-6.49.10 failed: could not create meta/deps: Permission "
       "denied"},
      {&member, ENOSPC, "ERROR: installation of suite-7.0 failed: disk is too small"},
  };
  for (const Case& c : cases) {
    PipeConsole console;
    Reporter reporter(console.fd());
    reporter.reportWriteFailure(*c.package, "meta/deps", c.error);
    EXPECT_EQ(console.take(), c.message + "\n");
  }
}

// The bar fills 76 columns with its text: 49 here.
TEST(Reporter, ProgressBarStaysWithinItsWidth) {
  const std::string text = "installing system-6.49.10";
  const std::uint64_t big = 0xFFFFFFFFull + 8;  // the longest file: no 32-bit wrap
  const struct {
    std::uint64_t position, total;
    std::size_t filled;
  } cases[] = {
      {0, 1000, 0},     {500, 1000, 24},    {1000, 1000, 49},
      {5000, 1000, 49},  // a stream longer than its header claims
      {big, big, 49},   {big / 2, big, 24}, {8, 0, 0},
  };
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
  auto add = [&](const std::string& name, Version version) -> Package& {
    auto p = std::make_unique<Package>();
    p->name = name;
    p->version = version;
    return repo.append(std::move(p));
  };
  Package& a = add("system", 0x0631660A);
  a.buildTime = 1700000000;
  a.dependencies = {{"base", 0x06006600, 0x07006600, 0}};
  a.files = {"/bin/a", "/bin/b"};
  a.note = "core";
  Package& b = add("wireless", 0x07006600);
  b.disabled = true;
  b.userForced = true;
  b.bundleName = "suite";

  repo.dump();
  EXPECT_EQ(console.take(),
            "package <system> version=6.49.10\n"
            "  deps=\n"
            "    <base> min=6.0 max=7.0\n"
            "  files=\n"
            "    /bin/a\n"
            "    /bin/b\n"
            "package <wireless> version=7.0\n"
            "   disabled\n"
            "   user-forced\n"
            "  deps=\n"
            "  files=\n"
            "\n");

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

TEST(Schedule, PathKeepsLettersDigitsAndDashes) {
  EXPECT_EQ(schedulePath("my_pkg"), "/ram/pdb/mypkg/schedule");
  EXPECT_EQ(schedulePath("a-b.c+d9"), "/ram/pdb/a-bcd9/schedule");
}

}  // namespace
}  // namespace vl
