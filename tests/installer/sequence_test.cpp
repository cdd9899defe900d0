// Whole installations: the sandboxed installer as the first process of a board (through
// board_launcher), tarnwick in another network namespace across a veth pair, the console
// on a pseudo-terminal that the test reads and types into. Each scenario compares the
// whole console transcript with its literal and looks at what reached the flash.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tests/install/install_fixture.h"
#include "tests/link/install_world.h"

namespace vl::testing {
namespace {

using test::Child;

// The operator's and the network's side of a run: once `when` holds for the transcript
// so far (and every earlier step has run), `act` runs once.
struct ConsoleStep {
  std::function<bool(const std::string& transcript)> when;
  std::function<void(int master)> act;
};
std::function<bool(const std::string&)> shows(std::string text) {
  return [text](const std::string& seen) { return seen.find(text) != std::string::npos; };
}
std::function<void(int)> types(const char* key) {
  return [key](int master) { ASSERT_EQ(::write(master, key, 1), 1); };
}
const ConsoleStep kEnter{shows("Press ENTER to reboot\n"), types("\n")};

constexpr const char* kBanner =
    "\x1b[?25l\x1b[2J\x1b[HWelcome to Corvanta Router Software remote installation 6.49.10\n"
    "Press Ctrl-Alt-Delete to abort\n";
constexpr const char* kFound = "Found server at 02:00:00:00:00:0A\n\n";
constexpr const char* kReboot = "Press ENTER to reboot\n\x1b[?25h\nRebooting...\n";
const std::string kHead =
    std::string(kBanner) +
    "\nmac-address: 02:00:00:00:00:0B\n\n\nWaiting for installation server...\n";

// The transcript without the package reporter's status line (its progress bars, each
// drawn between "hide cursor, carriage return" and "carriage return, show cursor"),
// which the reporter's own tests pin; everything else stays byte for byte.
std::string withoutStatusLines(std::string text) {
  for (std::size_t at; (at = text.find("\x1b[?25l\r")) != std::string::npos;) {
    const std::size_t end = text.find("\r\x1b[?25h", at);
    if (end == std::string::npos) break;
    text.erase(at, end + 7 - at);
  }
  return text;
}

Bytes pattern(std::size_t size, std::uint32_t x) {
  Bytes bytes;
  while (bytes.size() < size)
    bytes.push_back(static_cast<std::uint8_t>((x = x * 1103515245 + 12345) >> 24));
  return bytes;
}

class InstallerSandbox : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char dir[] = "/tmp/vl-installer-XXXXXX";
    packages = ::mkdtemp(dir);
    const auto put = [](const std::string& file, PackageSource source, std::optional<Bytes> image) {
      source.image = std::move(image);
      writeFile(packages + "/" + file, buildFile(source));
    };
    put("system.vpk",
        testPackage(
            "system", "6.49.10",
            {{"bin/pellu", 0100755, readFile(BOARD_PROBE)}, {"etc/version", 0100644, "6.49.10\n"}}),
        Bytes(3000, 0x5A));
    Bytes forged = buildFile(testPackage("forged", "6.49.10", {{"etc/forged", 0100644, "x"}}));
    forged[forged.size() - 200] ^= 0x01;
    writeFile(packages + "/forged.vpk", forged);
    put("wide.vpk", testPackage("wide", "6.49.10", {{"etc/wide", 0100644, "w"}}),
        pattern(600000, 7));
    writeFile(packages + "/wide-again.vpk", readFile(packages + "/wide.vpk"));
    put("extra.vpk", testPackage("extra", "6.49.10", {{"etc/extra", 0100644, "e"}}), std::nullopt);
    put("large.vpk", testPackage("large", "6.49.10", {{"etc/large", 0100644, "l"}}),
        pattern(8u << 20, 1));
    writeFile(packages + "/config.scr", std::string(300, 'c'));
    writeFile(packages + "/empty.scr", std::string());
    writeFile(packages + "/bad\x01name.scr", std::string("x"));
    // A commit that takes a while, so the server can go between this package and the next.
    std::vector<ArchiveFile> many;
    for (int i = 0; i < 3000; ++i) many.push_back({"etc/many/" + std::to_string(i), 0100644, "m"});
    put("many.vpk", testPackage("many", "6.49.10", many), std::nullopt);
  }
  static void TearDownTestSuite() { removeTree(packages); }

  void SetUp() override {
    ASSERT_FALSE(world.net.addNamespace("srv").empty());
    ASSERT_FALSE(world.net.addNamespace("board").empty());
    ASSERT_TRUE(world.net.addVeth("srv", "srv0", "02:00:00:00:00:0a", "board", "eth0",
                                  "02:00:00:00:00:0b"));
    freshBoard();
  }
  // An empty board root: unformatted flash, no old system.
  void freshBoard() {
    if (!root.empty()) removeTree(root);
    char dir[] = "/tmp/vl-board-XXXXXX";
    root = ::mkdtemp(dir);
    for (const char* d : {"/formatted", "/formatted-boot", "/stand-in"}) {
      ASSERT_EQ(::mkdir((root + d).c_str(), 0755), 0);
    }
    writeFile(root + "/cmdline", "console=ttyS0 quiet\n");
  }
  void TearDown() override { removeTree(root); }

  // Options and the names of files in the package directory, in the order given.
  void startServer(const std::vector<std::string>& arguments) {
    std::vector<std::string> options = {"-i", "srv0"};
    std::vector<test::SourceFile> files;
    for (const std::string& a : arguments) {
      if (a[0] == '-')
        options.push_back(a);
      else
        files.push_back({packages + "/" + a, a, ""});
    }
    ASSERT_TRUE(world.startServer("srv", options, files));
  }

  // Runs the board to its end (60 s at most) and returns what its console showed; the
  // launcher must report a reboot.
  std::string runBoard(std::vector<ConsoleStep> steps, bool panics = true,
                       const std::string& ns = "board") {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    EXPECT_TRUE(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
    const std::string slave = ::ptsname(master);
    // Output as written, without the line discipline's carriage returns.
    // Held open until the end, so that reading never sees a console without a board.
    termios settings{};
    const int s = ::open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ::tcgetattr(s, &settings);
    settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    ::tcsetattr(s, TCSANOW, &settings);
    Child board = world.net.runIn(ns, [&]() {
      ::setsid();
      const int console = ::open(slave.c_str(), O_RDWR);
      for (int fd = 0; fd < 3; ++fd) ::dup2(console, fd);
      ::execl(BOARD_LAUNCHER, BOARD_LAUNCHER, root.c_str(), INSTALLER_SANDBOX, BOARD_PROBE,
              panics ? "1" : "0", static_cast<char*>(nullptr));
      return 127;
    });
    std::string transcript;
    std::size_t next = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (bool ended = false;;) {
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "the board did not end in time";
        board.kill(SIGKILL);
      }
      while (next < steps.size() && steps[next].when(transcript)) steps[next++].act(master);
      pollfd p{master, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) {
        if (ended) break;  // the board is gone and its console read to the end
        ended = !board.running();
        continue;
      }
      char buffer[4096];
      const ssize_t n = ::read(master, buffer, sizeof buffer);
      if (n <= 0) break;
      transcript.append(buffer, static_cast<std::size_t>(n));
    }
    EXPECT_EQ(board.wait(), 0);
    ::close(s);
    ::close(master);
    return transcript;
  }

  std::string flash(const std::string& path) { return readFile(root + "/formatted" + path); }
  bool onFlash(const std::string& path) { return exists(root + "/formatted" + path); }
  // Mode, owner, size and modification time of a flash entry.
  std::string status(const std::string& path) {
    struct stat st {};
    if (::stat((root + "/formatted" + path).c_str(), &st) != 0) return "<absent>";
    char text[64];
    std::snprintf(text, sizeof text, "%o %u:%u %lld %lld", st.st_mode & 07777, st.st_uid, st.st_gid,
                  static_cast<long long>(st.st_size), static_cast<long long>(st.st_mtime));
    return text;
  }

  static std::string packages;
  test::InstallWorld world;
  std::string root;
};
std::string InstallerSandbox::packages;

TEST_F(InstallerSandbox, FreshInstallOfScriptsAndPackages) {
  startServer({"config.scr", "empty.scr", "system.vpk", "forged.vpk", "wide.vpk", "wide-again.vpk",
               "extra.vpk"});
  EXPECT_EQ(withoutStatusLines(runBoard({})),
            kHead + kFound +
                "Formatting disk...\n\n"
                "Writing configuration...\n"
                "Writing configuration...\n"
                "installed system-6.49.10\n"
                "ERROR: installation of forged-6.49.10 failed: broken package\n"
                "installed wide-6.49.10\n"
                "WARNING: omitting package wide-6.49.10: it is already installed\n"
                "installed extra-6.49.10\n"
                "\nSoftware installed.\n" +
                kReboot);
  EXPECT_EQ(readFile(root + "/nandfix.ran"), "-ea");
  EXPECT_EQ(flash("/config.scr"), std::string(300, 'c'));
  EXPECT_EQ(readFile(root + "/empty"), "");
  EXPECT_EQ(flash("/pellu.ran"), "pellu");  // run inside the installed system
  EXPECT_EQ(flash("/etc/version"), "6.49.10\n");
  EXPECT_TRUE(flash("/var/pdb/system/image") == readFile(packages + "/system.vpk"));
  EXPECT_EQ(flash("/etc/extra") + flash("/etc/wide"), "ew");
  // Nothing of the forged package, no copy left over from it or from the package
  // without an image part, no reset of the configuration the script brought.
  for (const char* absent :
       {"/etc/forged", "/var/pdb/forged", "/image", "/var/pdb/extra/image", "/rw/RESET"}) {
    EXPECT_FALSE(onFlash(absent)) << absent;
  }
  EXPECT_EQ(status("/rw/REBOOT").substr(0, 10), "600 0:0 0 ");
}

// Runs that end before any file reaches the flash, and those that receive none.
TEST_F(InstallerSandbox, FailuresBeforeTheFilesAndEmptyFileLists) {
  const struct {
    const char* file;       // served, or none
    const char* boardFile;  // written in the board root before the run
    const char* text;
    bool fails;  // ends with ENTER (typed); a success ends at the server's TERM
    const char* shown;
    const char* reset;  // "/flash/rw/RESET" afterwards
  } cases[] = {
      {nullptr, "/stand-in/min-version", "6.49.11", true,
       "\nFATAL ERROR: tarnwick version 6.49.10 is too old, board supports versions from "
       "6.49.11\n",
       "<absent>"},
      // No script and no keep: factory settings; no panic driver.
      {nullptr, "/stand-in/min-version", "6.49.10", false,
       "Formatting disk...\n\nopen /dev/panics failed\n\nSoftware installed.\n",
       ". /vell/lib/reset/reset"},
      {"--keep", "/unused", "", false,
       "WARNING: couldn't keep config - couldn't mount file system\nFormatting disk...\n\n"
       "open /dev/panics failed\n\nSoftware installed.\n",
       "<absent>"},
      {"config.scr", "/nandfix.status", "1", true,
       "Formatting disk...\nERROR: could not format partitions\n", "<absent>"},
      {"config.scr", "/stand-in/mount-fails", "", true,
       "Formatting disk...\nERROR: could not mount filesystem\n", "<absent>"},
      {"bad\x01name.scr", "/unused", "", true,
       "Formatting disk...\n\n\nFATAL ERROR: bad file name\n", "<absent>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shown);
    freshBoard();
    writeFile(root + c.boardFile, std::string(c.text));
    startServer(c.file != nullptr ? std::vector<std::string>{c.file} : std::vector<std::string>{});
    const std::string transcript =
        runBoard(c.fails ? std::vector{kEnter} : std::vector<ConsoleStep>{}, c.fails);
    world.server = test::Child{};
    EXPECT_EQ(withoutStatusLines(transcript), kHead + kFound + c.shown + kReboot);
    EXPECT_EQ(flash("/rw/RESET"), c.reset);
    EXPECT_FALSE(onFlash("/config.scr") || onFlash("/bad\x01name.scr"));
  }
}

TEST_F(InstallerSandbox, KeptConfigurationSurvivesTheFormat) {
  const std::string old = root + "/old/";
  const std::string conf = old + "vell/store/net/eth0.conf";
  writeFile(conf, "address 10.0.0.1\n");
  ASSERT_EQ(::mkdir((old + "vell/store/empty").c_str(), 0700), 0);
  const timespec times[2] = {{1600000000, 0}, {1600000100, 0}};
  ASSERT_TRUE(::chown(conf.c_str(), 1000, 1001) == 0 && ::chmod(conf.c_str(), 0640) == 0 &&
              ::chmod((old + "vell/store/net").c_str(), 0710) == 0 &&
              ::utimensat(AT_FDCWD, conf.c_str(), times, 0) == 0);
  writeFile(old + "var/pdb/branding/image", "brand");
  writeFile(old + "vell/lib/wireless/country", "DE");
  writeFile(old + "var/pdb/extra/disabled", "user\n");
  writeFile(old + "etc/stale", "from the old system");
  startServer({"--keep", "extra.vpk"});
  EXPECT_EQ(withoutStatusLines(runBoard({})),
            kHead + kFound +
                "Reading old configuration...\nFormatting disk...\n"
                "Writing back old configuration...\n\n"
                "installed (disabled) extra-6.49.10\n\nSoftware installed.\n" +
                kReboot);
  EXPECT_EQ(status("/vell/store/net/eth0.conf"), "640 1000:1001 17 1600000100");
  EXPECT_EQ(status("/vell/store/net").substr(0, 4), "710 ");
  EXPECT_TRUE(onFlash("/vell/store/empty"));
  EXPECT_EQ(flash("/vell/store/net/eth0.conf"), "address 10.0.0.1\n");
  EXPECT_EQ(flash("/var/pdb/branding/image") + flash("/vell/lib/wireless/country"), "brandDE");
  EXPECT_EQ(flash("/var/pdb/extra/disabled"), "user\n");  // the user's choice, kept
  EXPECT_FALSE(onFlash("/etc/stale"));
  EXPECT_FALSE(onFlash("/rw/RESET"));  // the server asked to keep
}

TEST_F(InstallerSandbox, ServerLostFailsTheInstallation) {
  const std::string lost = "\nFATAL ERROR: bad network connection\n";
  const struct {
    std::vector<std::string> files;
    std::string killWhen;
    std::string installed;  // what the transcript shows between the layout and the loss
  } cases[] = {
      {{"many.vpk", "extra.vpk"}, "installed many-6.49.10\n", "installed many-6.49.10\n" + lost},
      {{"large.vpk"},
       "installing large-6.49.10 [",
       lost + "ERROR: installation of large-6.49.10 failed: broken package\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.killWhen);
    freshBoard();
    startServer(c.files);
    const std::string transcript =
        runBoard({{shows(c.killWhen), [&](int) { world.server = test::Child{}; }}, kEnter});
    EXPECT_EQ(withoutStatusLines(transcript),
              kHead + kFound + "Formatting disk...\n\n" + c.installed + kReboot);
    for (const char* absent : {"/var/pdb/extra", "/var/pdb/large", "/image", "/rw/REBOOT"}) {
      EXPECT_FALSE(onFlash(absent)) << absent;
    }
  }
}

TEST_F(InstallerSandbox, KeyWhileWaitingForTheServersEnd) {
  writeFile(root + "/formatted/pellu.slow", "");  // the server goes while pellu runs
  startServer({"system.vpk"});
  const std::string transcript =
      runBoard({{[&](const std::string&) { return onFlash("/pellu.ran"); },
                 [&](int) { world.server = test::Child{}; }},
                {shows("Software installed.\nPress ENTER to reboot\n"), types("x")}});
  EXPECT_EQ(withoutStatusLines(transcript), kHead + kFound +
                                                "Formatting disk...\n\ninstalled system-6.49.10\n" +
                                                "\nSoftware installed.\n" + kReboot);
}

TEST_F(InstallerSandbox, InterruptWhileLookingForTheServer) {
  EXPECT_EQ(runBoard({{shows("Waiting for installation server...\n"), types("\x03")}, kEnter}),
            kHead + "\n\nInstallation aborted\nPress ENTER to reboot\n\x1b[?25h");
}

TEST_F(InstallerSandbox, OnlyLoopbackMeansNoNetworkCard) {
  ASSERT_FALSE(world.net.addNamespace("bare").empty());
  EXPECT_EQ(runBoard({kEnter}, true, "bare"),
            std::string(kBanner) + "\nFATAL ERROR: no network card found\n" + kReboot);
}

}  // namespace
}  // namespace vl::testing
