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
#include "tests/link/test_support.h"

namespace vl::testing {
namespace {

using test::Child;

std::string fileText(const std::string& path) { return readFile(path); }

// The operator's and the network's side of a run: once `when` holds for the transcript
// so far (and every earlier step has run), `act` runs once.
struct ConsoleStep {
  std::function<bool(const std::string& transcript)> when;
  std::function<void(int master)> act;
};
// The transcript shows text, counted from where the previous step matched.
std::function<bool(const std::string&)> shows(std::string text, int occurrence = 1) {
  return [text, occurrence](const std::string& transcript) {
    std::size_t at = 0;
    for (int i = 0; i < occurrence; ++i, at += text.size()) {
      at = transcript.find(text, at);
      if (at == std::string::npos) return false;
    }
    return true;
  };
}

void type(int master, const char* keys) {
  ASSERT_EQ(::write(master, keys, std::strlen(keys)), static_cast<ssize_t>(std::strlen(keys)));
}
const ConsoleStep kEnter{shows("Press ENTER to reboot\n"), [](int m) { type(m, "\n"); }};

struct BoardRun {
  std::string transcript;
  int launcherStatus = -1;
};

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

class InstallerSandbox : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/vl-installer-XXXXXX";
    packages = ::mkdtemp(pattern);
    PackageSource system = package(
        "system", "6.49.10",
        {{"bin/pellu", 0100755, readFile(BOARD_PROBE)}, {"etc/version", 0100644, "6.49.10\n"}});
    system.image = Bytes(3000, 0x5A);
    writeFile(packages + "/system.vpk", build(system));
    Bytes forged = build(package("forged", "6.49.10", {{"etc/forged", 0100644, "x"}}));
    forged[forged.size() - 200] ^= 0x01;
    writeFile(packages + "/forged.vpk", forged);
    PackageSource wide = package("wide", "6.49.10", {{"etc/wide", 0100644, "w"}});
    wide.image = Bytes();
    for (std::size_t i = 0; i < 600000; ++i)
      wide.image->push_back(static_cast<std::uint8_t>(i * 7919 >> 3));
    const Bytes wideBytes = build(wide);
    writeFile(packages + "/wide.vpk", wideBytes);
    writeFile(packages + "/wide-again.vpk", wideBytes);
    writeFile(packages + "/extra.vpk",
              build(package("extra", "6.49.10", {{"etc/extra", 0100644, "e"}})));
    PackageSource large = package("large", "6.49.10", {{"etc/large", 0100644, "l"}});
    large.image = Bytes();
    for (std::uint32_t x = 1; large.image->size() < (8u << 20);) {
      x = x * 1103515245 + 12345;
      large.image->push_back(static_cast<std::uint8_t>(x >> 24));
    }
    writeFile(packages + "/large.vpk", build(large));
    writeFile(packages + "/config.scr", std::string(300, 'c'));
    writeFile(packages + "/empty.scr", std::string());
    writeFile(packages + "/bad\x01name.scr", std::string("x"));
    // A commit that takes a while, so the server can go between this package and the next.
    std::vector<ArchiveFile> many;
    for (int i = 0; i < 3000; ++i) many.push_back({"etc/many/" + std::to_string(i), 0100644, "m"});
    writeFile(packages + "/many.vpk", build(package("many", "6.49.10", many)));
  }
  static void TearDownTestSuite() { removeTree(packages); }

  void SetUp() override {
    ASSERT_FALSE(net.addNamespace("srv").empty());
    ASSERT_FALSE(net.addNamespace("board").empty());
    ASSERT_TRUE(
        net.addVeth("srv", "srv0", "02:00:00:00:00:0a", "board", "eth0", "02:00:00:00:00:0b"));
    freshBoard();
  }
  // An empty board root: unformatted flash, no old system.
  void freshBoard() {
    if (!root.empty()) removeTree(root);
    char pattern[] = "/tmp/vl-board-XXXXXX";
    root = ::mkdtemp(pattern);
    for (const char* d : {"/formatted", "/formatted-boot", "/stand-in"}) {
      ASSERT_EQ(::mkdir((root + d).c_str(), 0755), 0);
    }
    writeFile(root + "/cmdline", "console=ttyS0 quiet\n");
  }
  void TearDown() override {
    stopServer();
    removeTree(root);
  }

  void startServer(std::vector<std::string> arguments) {
    const std::string log = root + ".server.log";
    std::vector<std::string> argv = {TARNWICK_PATH, "-i", "srv0", "--events", root + ".events"};
    for (const std::string& a : arguments) argv.push_back(a[0] == '-' ? a : packages + "/" + a);
    server = net.runIn("srv", [&]() {
      const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(fd, 1);
      ::dup2(fd, 2);
      std::vector<char*> args;
      for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      ::execv(args[0], args.data());
      return 127;
    });
    for (int i = 0; i < 500 && fileText(log).find("serving") == std::string::npos; ++i) {
      ::usleep(10000);
    }
    ASSERT_NE(fileText(log).find("serving"), std::string::npos) << fileText(log);
  }
  void stopServer() {
    if (server.pid > 0) {
      server.kill(SIGKILL);
      (void)server.wait();
    }
    (void)::unlink((root + ".server.log").c_str());
    (void)::unlink((root + ".events").c_str());
  }
  std::string events() { return fileText(root + ".events"); }

  // Runs the board to its end (60 s at most) and returns what its console showed.
  BoardRun runBoard(std::vector<ConsoleStep> steps, bool panics = true,
                    const std::string& ns = "board") {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    EXPECT_GE(master, 0);
    EXPECT_EQ(::grantpt(master), 0);
    EXPECT_EQ(::unlockpt(master), 0);
    const std::string slave = ::ptsname(master);
    // Output as written, without the line discipline's carriage returns.
    // Held open until the end, so that reading never sees a console without a board.
    termios settings{};
    const int s = ::open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ::tcgetattr(s, &settings);
    settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    ::tcsetattr(s, TCSANOW, &settings);
    const std::string rootDir = root;
    Child board = net.runIn(ns, [&]() {
      ::setsid();
      const int console = ::open(slave.c_str(), O_RDWR);
      for (int fd = 0; fd < 3; ++fd) ::dup2(console, fd);
      ::execl(BOARD_LAUNCHER, BOARD_LAUNCHER, rootDir.c_str(), INSTALLER_SANDBOX, BOARD_PROBE,
              panics ? "1" : "0", static_cast<char*>(nullptr));
      return 127;
    });
    BoardRun run;
    std::size_t next = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (bool ended = false;;) {
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "the board did not end in time";
        board.kill(SIGKILL);
      }
      while (next < steps.size() && steps[next].when(run.transcript)) steps[next++].act(master);
      pollfd p{master, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) {
        if (ended) break;  // the board is gone and its console read to the end
        ended = !board.running();
        continue;
      }
      char buffer[4096];
      const ssize_t n = ::read(master, buffer, sizeof buffer);
      if (n <= 0) break;
      run.transcript.append(buffer, static_cast<std::size_t>(n));
    }
    run.launcherStatus = board.wait();
    ::close(s);
    ::close(master);
    return run;
  }

  std::string flash(const std::string& path) { return fileText(root + "/formatted" + path); }
  bool onFlash(const std::string& path) {
    struct stat st {};
    return ::lstat((root + "/formatted" + path).c_str(), &st) == 0;
  }

  static std::string packages;
  test::NetWorld net;
  std::string root;
  Child server;
};
std::string InstallerSandbox::packages;

constexpr const char* kBanner =
    "\x1b[?25l\x1b[2J\x1b[HWelcome to Corvanta Router Software remote installation 6.49.10\n"
    "Press Ctrl-Alt-Delete to abort\n";
constexpr const char* kFound = "Found server at 02:00:00:00:00:0A\n\n";
constexpr const char* kReboot = "\x1b[?25h\nRebooting...\n";
constexpr const char* kHead =
    "\x1b[?25l\x1b[2J\x1b[HWelcome to Corvanta Router Software remote installation 6.49.10\n"
    "Press Ctrl-Alt-Delete to abort\n"
    "\nmac-address: 02:00:00:00:00:0B\n\n"
    "\nWaiting for installation server...\n";

TEST_F(InstallerSandbox, FreshInstallOfScriptsAndPackages) {
  startServer({"config.scr", "empty.scr", "system.vpk", "forged.vpk", "wide.vpk", "wide-again.vpk",
               "extra.vpk"});
  const BoardRun run = runBoard({});
  EXPECT_EQ(run.launcherStatus, 0);
  EXPECT_EQ(withoutStatusLines(run.transcript),
            std::string(kHead) +
                "Found server at 02:00:00:00:00:0A\n\n"
                "Formatting disk...\n\n"
                "Writing configuration...\n"
                "Writing configuration...\n"
                "installed system-6.49.10\n"
                "ERROR: installation of forged-6.49.10 failed: broken package\n"
                "installed wide-6.49.10\n"
                "WARNING: omitting package wide-6.49.10: it is already installed\n"
                "installed extra-6.49.10\n"
                "\nSoftware installed.\nPress ENTER to reboot\n"
                "\x1b[?25h\nRebooting...\n");
  EXPECT_EQ(fileText(root + "/nandfix.ran"), "-ea");
  EXPECT_EQ(flash("/config.scr"), std::string(300, 'c'));
  EXPECT_EQ(fileText(root + "/empty"), "");
  EXPECT_EQ(flash("/pellu.ran"), "pellu");  // run inside the installed system
  EXPECT_EQ(flash("/etc/version"), "6.49.10\n");
  EXPECT_TRUE(flash("/var/pdb/system/image") == fileText(packages + "/system.vpk"));
  EXPECT_EQ(flash("/etc/extra"), "e");
  EXPECT_EQ(flash("/etc/wide"), "w");
  // Nothing of the forged package, no copy left over from it or from the package
  // without an image part, no reset of the configuration the script brought.
  for (const char* absent :
       {"/etc/forged", "/var/pdb/forged", "/image", "/var/pdb/extra/image", "/rw/RESET"}) {
    EXPECT_FALSE(onFlash(absent)) << absent;
  }
  struct stat st {};
  ASSERT_EQ(::stat((root + "/formatted/rw/REBOOT").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(st.st_size, 0);
}

TEST_F(InstallerSandbox, FailuresBeforeTheFilesEndInEnterAndReboot) {
  const std::string tail = "Press ENTER to reboot\n" + std::string(kReboot);
  const struct {
    const char* name;
    std::vector<std::string> files;
    const char* boardFile;  // written in the board root before the run
    const char* text;
    std::string transcript;
    const char* reset;  // "/flash/rw/RESET" afterwards
  } cases[] = {
      {"release gate",
       {},
       "/stand-in/min-version",
       "6.49.11",
       std::string(kFound) +
           "\nFATAL ERROR: tarnwick version 6.49.10 is too old, board supports versions from "
           "6.49.11\n" +
           tail,
       "<absent>"},
      {"release at the bound, no panic driver",
       {},
       "/stand-in/min-version",
       "6.49.10",
       std::string(kFound) +
           "Formatting disk...\n\nopen /dev/panics failed\n\nSoftware installed.\n" + tail,
       ". /vell/lib/reset/reset"},  // no script and no keep: factory settings
      {"formatter fails",
       {"config.scr"},
       "/nandfix.status",
       "1",
       std::string(kFound) + "Formatting disk...\nERROR: could not format partitions\n" + tail,
       "<absent>"},
      {"flash does not mount",
       {"config.scr"},
       "/stand-in/mount-fails",
       "",
       std::string(kFound) + "Formatting disk...\nERROR: could not mount filesystem\n" + tail,
       "<absent>"},
      {"control character in a name",
       {"bad\x01name.scr"},
       "/unused",
       "",
       std::string(kFound) + "Formatting disk...\n\n\nFATAL ERROR: bad file name\n" + tail,
       "<absent>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    freshBoard();
    writeFile(root + c.boardFile, std::string(c.text));
    startServer(c.files);
    // Success ends at the server's TERM, without a key.
    const bool fails = c.reset[0] == '<';
    const BoardRun run =
        runBoard(fails ? std::vector<ConsoleStep>{kEnter} : std::vector<ConsoleStep>{}, fails);
    stopServer();
    EXPECT_EQ(run.launcherStatus, 0);
    EXPECT_EQ(withoutStatusLines(run.transcript), kHead + c.transcript);
    EXPECT_EQ(flash("/rw/RESET"), c.reset);
    for (const char* name : {"/config.scr", "/bad\x01name.scr"}) {
      EXPECT_FALSE(onFlash(name)) << name;
    }
  }
}

TEST_F(InstallerSandbox, KeptConfigurationSurvivesTheFormat) {
  const std::string old = root + "/old";
  writeFile(old + "/vell/store/net/eth0.conf", "address 10.0.0.1\n");
  ASSERT_EQ(::mkdir((old + "/vell/store/empty").c_str(), 0700), 0);
  ASSERT_EQ(::chown((old + "/vell/store/net/eth0.conf").c_str(), 1000, 1001), 0);
  ASSERT_EQ(::chmod((old + "/vell/store/net/eth0.conf").c_str(), 0640), 0);
  ASSERT_EQ(::chmod((old + "/vell/store/net").c_str(), 0710), 0);
  const timespec times[2] = {{1600000000, 0}, {1600000100, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, (old + "/vell/store/net/eth0.conf").c_str(), times, 0), 0);
  writeFile(old + "/var/pdb/branding/image", "brand");
  writeFile(old + "/vell/lib/wireless/country", "DE");
  writeFile(old + "/var/pdb/extra/disabled", "user\n");
  writeFile(old + "/etc/stale", "from the old system");
  startServer({"--keep", "extra.vpk"});
  const BoardRun run = runBoard({});
  EXPECT_EQ(run.launcherStatus, 0);
  EXPECT_EQ(withoutStatusLines(run.transcript),
            std::string(kHead) + kFound +
                "Reading old configuration...\n"
                "Formatting disk...\n"
                "Writing back old configuration...\n\n"
                "installed (disabled) extra-6.49.10\n"
                "\nSoftware installed.\nPress ENTER to reboot\n" +
                kReboot);
  struct stat st {};
  ASSERT_EQ(::stat((root + "/formatted/vell/store/net/eth0.conf").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(st.st_uid, 1000u);
  EXPECT_EQ(st.st_gid, 1001u);
  EXPECT_EQ(st.st_mtime, 1600000100);
  ASSERT_EQ(::stat((root + "/formatted/vell/store/net").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0710u);
  EXPECT_TRUE(onFlash("/vell/store/empty"));
  EXPECT_EQ(flash("/vell/store/net/eth0.conf"), "address 10.0.0.1\n");
  EXPECT_EQ(flash("/var/pdb/branding/image"), "brand");
  EXPECT_EQ(flash("/vell/lib/wireless/country"), "DE");
  EXPECT_EQ(flash("/var/pdb/extra/disabled"), "user\n");  // the user's choice, kept
  EXPECT_FALSE(onFlash("/etc/stale"));
  EXPECT_FALSE(onFlash("/rw/RESET"));  // the server asked to keep
}

TEST_F(InstallerSandbox, ServerLostFailsTheInstallation) {
  const std::string lost = "\nFATAL ERROR: bad network connection\n";
  const struct {
    const char* name;
    std::vector<std::string> files;
    std::string killWhen;
    std::string installed;  // what the transcript shows between the layout and the loss
  } cases[] = {
      {"between files",
       {"many.vpk", "extra.vpk"},
       "installed many-6.49.10\n",
       "installed many-6.49.10\n" + lost},
      {"in mid-file",
       {"large.vpk"},
       "installing large-6.49.10 [",
       lost + "ERROR: installation of large-6.49.10 failed: broken package\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    freshBoard();
    startServer(c.files);
    const BoardRun run = runBoard({{shows(c.killWhen), [&](int) { stopServer(); }}, kEnter});
    EXPECT_EQ(run.launcherStatus, 0);
    EXPECT_EQ(withoutStatusLines(run.transcript), std::string(kHead) + kFound +
                                                      "Formatting disk...\n\n" + c.installed +
                                                      "Press ENTER to reboot\n" + kReboot);
    EXPECT_FALSE(onFlash("/var/pdb/extra"));
    EXPECT_FALSE(onFlash("/var/pdb/large"));
    EXPECT_FALSE(onFlash("/image"));
    EXPECT_FALSE(onFlash("/rw/REBOOT"));
  }
}

TEST_F(InstallerSandbox, KeyWhileWaitingForTheServersEnd) {
  writeFile(root + "/formatted/pellu.slow", "");  // the server goes while pellu runs
  startServer({"system.vpk"});
  const BoardRun run = runBoard(
      {{[&](const std::string&) { return onFlash("/pellu.ran"); }, [&](int) { stopServer(); }},
       {shows("Software installed.\nPress ENTER to reboot\n"), [](int m) { type(m, "x"); }}});
  EXPECT_EQ(run.launcherStatus, 0);
  EXPECT_EQ(withoutStatusLines(run.transcript),
            std::string(kHead) + kFound + "Formatting disk...\n\ninstalled system-6.49.10\n" +
                "\nSoftware installed.\nPress ENTER to reboot\n" + kReboot);
}

TEST_F(InstallerSandbox, InterruptWhileLookingForTheServer) {
  const BoardRun run = runBoard(
      {{shows("Waiting for installation server...\n"), [](int m) { type(m, "\x03"); }}, kEnter});
  EXPECT_EQ(run.launcherStatus, 0);
  EXPECT_EQ(run.transcript,
            std::string(kHead) + "\n\nInstallation aborted\nPress ENTER to reboot\n\x1b[?25h");
}

TEST_F(InstallerSandbox, OnlyLoopbackMeansNoNetworkCard) {
  ASSERT_FALSE(net.addNamespace("bare").empty());
  const BoardRun run = runBoard({kEnter}, true, "bare");
  EXPECT_EQ(run.launcherStatus, 0);
  EXPECT_EQ(run.transcript, std::string(kBanner) + "\nFATAL ERROR: no network card found\n" +
                                "Press ENTER to reboot\n" + kReboot);
}

}  // namespace
}  // namespace vl::testing
