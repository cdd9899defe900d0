#include "installer/install_sequence.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "installer/board_queries.h"
#include "installer/bring_up.h"
#include "installer/console.h"
#include "installer/package_child.h"
#include "installer/snapshot.h"
#include "installer/system.h"
#include "link/server_link.h"
#include "link/transfer.h"

namespace vl {

namespace {

constexpr const char* kEdition = "remote installation";
constexpr const char* kToolName = "tarnwick";
constexpr std::size_t kChunkSize = 4096;

// What the old system hands over to the new one across the format.
struct KeptData {
  TreeSnapshotPtr branding;
  TreeSnapshotPtr wireless;
  TreeSnapshotPtr configuration;
};

struct Installation {
  UserChoices& choices;
  const std::string& architecture;
  FlashStorage& flash;
  FlashDriver& driver;
  ServerLink link;
  bool keep = false;
  bool scriptReceived = false;
};

// The directories of a fresh flash, in creation order, with the name a failure shows.
struct LayoutDirectory {
  const char* path;
  const char* shortName;
};
constexpr LayoutDirectory kLayout[] = {
    {"/flash/rw", "/rw"},   {"/flash/vell", "/vell"},       {"/flash/vell/etc", "/vell/etc"},
    {"/flash/var", "/var"}, {"/flash/var/pdb", "/var/pdb"},
};

// The start of a long step: its text, then a dot a second until stopDots.
void beginLongStep(const char* text) {
  std::fputs(text, stdout);
  (void)std::fflush(stdout);
  startDots();
}

void showBanner() {
  enterRawConsole();
  std::printf("\x1b[?25l");
  std::printf("\x1b[2J\x1b[H");
  std::printf("Welcome to Corvanta Router Software %s %s\n", kEdition, kInstallerReleaseText);
  std::puts("Press Ctrl-Alt-Delete to abort");
  writeLcd(kToolName);
}

bool findInterfaces(ServerLink& link) {
  (void)enumerateChannels(link.channels);
  if (link.channels.empty()) {
    std::puts("\nFATAL ERROR: no network card found");
    return false;
  }
  std::putchar('\n');
  for (const auto& channel : link.channels) {
    std::printf("mac-address: %s\n", formatMac(channel->hardwareAddress).c_str());
  }
  std::puts("");
  return true;
}

// The flash driver's board name (empty without one) in its short form.
std::string modelName(FlashDriver& driver) { return composeModelName(boardName(driver)); }

void findServer(Installation& run, const std::string& model) {
  const auto minVersion = [&run] { return boardMinVersion(run.driver); };
  for (;;) {
    std::puts("");
    std::puts("Waiting for installation server...");
    if (!run.link.channels.empty() &&
        discoverServer(run.link, run.architecture, "", "", model, minVersion, run.keep)) {
      break;
    }
    std::puts("");
    std::puts("Couldn't find any installation server on network");
  }
  std::printf("Found server at %s\n", formatMac(run.link.state.peerMac).c_str());
  std::puts("");
}

bool passReleaseGate(FlashDriver& driver) {
  const Version min = boardMinVersion(driver);
  if (min == kNoVersion || parseVersion(kInstallerReleaseText) >= min) return true;
  std::printf("\nFATAL ERROR: %s version %s is too old, board supports versions from %s\n",
              kToolName, kInstallerReleaseText, formatVersion(min).c_str());
  return false;
}

// "/flash/vell/store", or the older "/flash/rw/store" (also as a dangling link); empty
// when the old system has neither.
const char* configurationDirectory() {
  struct stat status {};
  if (::stat("/flash/vell/store", &status) == 0) return "/flash/vell/store";
  if (::lstat("/flash/rw/store", &status) == 0) return "/flash/rw/store";
  return nullptr;
}

void keepOldConfiguration(KeptData& kept, UserChoices& choices) {
  kept.branding = snapshotTree("/flash/var/pdb/branding/image");
  kept.wireless = snapshotTree("/flash/vell/lib/wireless");
  const char* directory = configurationDirectory();
  if (directory == nullptr) return;
  beginLongStep("Reading old configuration...");
  kept.configuration = snapshotTree(directory);
  stopDots();
  if (!kept.configuration) std::puts("ERROR: couldn't keep config - probably not enough memory");
  readPackageChoices(choices);
}

KeptData readOldSystem(Installation& run) {
  KeptData kept;
  if (!run.flash.mountOld()) {
    if (run.keep) std::puts("WARNING: couldn't keep config - couldn't mount file system");
    return kept;
  }
  if (run.keep) keepOldConfiguration(kept, run.choices);
  run.flash.unmount();
  if (hasKernelFlag("ubifs_support")) run.flash.detach();
  return kept;
}

bool formatFlash() {
  beginLongStep("Formatting disk...");
  const int status =
      runProgram(nullptr, "/sbin/nandfix", {hasKernelFlag("no-nand") ? "-e0" : "-ea"});
  stopDots();
  if (status == 0) return true;
  std::puts("ERROR: could not format partitions");
  return false;
}

bool mountFormattedFlash(FlashStorage& flash) {
  if (!flash.mountFormatted()) {
    std::puts("ERROR: could not mount filesystem");
    return false;
  }
  for (const LayoutDirectory& d : kLayout) {
    if (::mkdir(d.path, 0755) != 0) std::perror(d.shortName);
  }
  return true;
}

void writeBack(KeptData& kept) {
  if (kept.branding) {
    (void)::mkdir("/flash/var/pdb/branding", 0755);
    (void)restoreTree(std::move(kept.branding));
  }
  if (kept.wireless) {
    (void)::mkdir("/flash/vell", 0755);
    (void)::mkdir("/flash/vell/lib", 0755);
    (void)restoreTree(std::move(kept.wireless));
  }
  if (kept.configuration) {
    beginLongStep("Writing back old configuration...");
    const bool ok = restoreTree(std::move(kept.configuration));
    stopDots();
    if (!ok) {
      std::puts("ERROR: couldn't write old configuration - proboably not enough space on the disk");
    }
  }
  std::puts("");
}

bool isScriptName(std::string_view name) { return name.size() >= 5 && name.ends_with(".scr"); }

enum class Copied { All, LinkFailed, WriteFailed };

// Passes a file's data on as it arrives. A link failure is said here; a failed write is
// left to the caller, since the two destinations say it differently.
Copied copyFileData(FileStream& file, FdStream& out) {
  std::array<std::uint8_t, kChunkSize> buffer;
  for (;;) {
    const int n = readFileData(file, buffer.data(), static_cast<int>(buffer.size()));
    if (n < 0) {
      std::puts("\nFATAL ERROR: bad network connection");
      return Copied::LinkFailed;
    }
    if (n == 0) return Copied::All;
    if (out.write(buffer.data(), static_cast<std::size_t>(n)) < 0) return Copied::WriteFailed;
  }
}

// A configuration script, written by the sequence itself; an empty one goes to the
// memory root, so that it leaves the flash untouched.
bool receiveScript(Installation& run, FileStream& file) {
  const std::string path = file.size == 0 ? std::string("/empty") : "/flash/" + file.name;
  std::puts("Writing configuration...");
  FdStream out = FdStream::openWrite(path, O_CREAT | O_TRUNC, 0666);
  if (!out.isOpen()) {
    std::puts("\nFATAL ERROR: couldn't make a file");
    return false;
  }
  const Copied copied = copyFileData(file, out);
  if (copied == Copied::LinkFailed) return false;
  // A full flash may show only at the close: the script is then not complete.
  if (copied == Copied::WriteFailed || !out.close()) {
    std::printf("\nFATAL ERROR: installation failed: %s\n", std::strerror(out.error()));
    return false;
  }
  run.scriptReceived = true;
  return true;
}

// A package file, streamed into its installer child as it arrives. A package the child
// refuses or finds broken has reported itself and is passed over.
bool receivePackage(Installation& run, FileStream& file) {
  FdStream input;
  if (!startPackageChild(run.choices, run.architecture, run.driver, input)) {
    std::puts("\nFATAL ERROR: couldn't start install");
    return false;
  }
  const Copied copied = copyFileData(file, input);
  if (copied == Copied::WriteFailed) std::puts("");
  (void)finishPackageChild(input);
  return copied == Copied::All;
}

bool receiveFiles(Installation& run) {
  if (!startInstall(run.link)) {
    std::puts("\nFATAL ERROR: server refused to install");
    return false;
  }
  for (;;) {
    switch (requestNextFile(run.link)) {
      case NextFile::EndOfList:
        return true;
      case NextFile::LinkFailure:
        std::puts("\nFATAL ERROR: bad network connection");
        return false;
      case NextFile::File:
        break;
    }
    FileStream& file = *run.link.fileStream;
    if (!isPlainFileName(file.name)) {
      std::puts("\nFATAL ERROR: bad file name");
      return false;
    }
    const bool ok = isScriptName(file.name) ? receiveScript(run, file) : receivePackage(run, file);
    if (!ok) return false;
  }
}

// The markers the installed system reads at its first start: RESET asks for factory
// settings when the server sent no configuration and kept none; REBOOT for one more
// reboot.
void writeMarkers(const Installation& run) {
  if (!run.scriptReceived && !run.keep) {
    FdStream reset = FdStream::openWrite("/flash/rw/RESET", O_CREAT | O_TRUNC, 0666);
    constexpr std::string_view kReset = ". /vell/lib/reset/reset";
    if (reset.isOpen()) (void)reset.write(kReset.data(), kReset.size());
  }
  const int reboot = ::open("/flash/rw/REBOOT", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (reboot >= 0) (void)::close(reboot);
}

// The installed system's own post-install step, run inside it once the panic driver
// has been told that the software is in place.
void runPostInstall(FlashStorage& flash) {
  (void)loadModule("misc/panics.ko", "");
  const int panics = ::open("/dev/panics", O_RDWR | O_CLOEXEC);
  if (panics < 0) {
    std::puts("open /dev/panics failed");
  } else {
    (void)::ioctl(panics, kPanicsRequest);
    (void)::close(panics);
    struct stat status {};
    if (::stat("/flash/etc/rc.d/rc.postinstall", &status) == 0) {
      (void)runProgram("/flash", "/bin/bash", {"-c", "/etc/rc.d/rc.postinstall"});
    } else {
      (void)runProgram("/flash", "/bin/pellu", {"pellu"});
    }
  }
  // The board reboots next without a sync of its own: what the installation wrote must
  // be on the flash before success is reported, with or without the panic driver.
  ::sync();
  flash.unmount();
}

void finish(Installation& run) {
  markInstallDone();
  std::puts("");
  std::puts("Software installed.");
  std::puts("Press ENTER to reboot");
  (void)std::fflush(stdout);
  awaitTermination(run.link);
}

}  // namespace

std::string composeModelName(std::string_view s) {
  const auto withoutBlanks = [](std::string_view rest) {
    std::string t;
    for (const char c : rest) {
      if (c != ' ') t.push_back(c);
    }
    return t;
  };
  std::string t;
  if (!s.empty() && s[0] >= '0' && s[0] <= '9') {
    t = "QL" + std::string(s);
  } else if (s.starts_with("Quorrelin ")) {
    t = "QL" + withoutBlanks(s.substr(10));
  } else if (s.starts_with("Ostrevane ")) {
    t = "OSV" + withoutBlanks(s.substr(10));
  } else if (s.starts_with("Fennmarch ")) {
    t = "FNM" + withoutBlanks(s.substr(10));
  } else {
    t = s;
  }
  for (const char* known : {"QL", "OSV", "FNM", "TZ"}) {
    if (t.starts_with(known)) return t;
  }
  return "QL " + t;
}

bool isPlainFileName(std::string_view name) {
  if (name.empty() || name.size() > kMaxFileName || name == "." || name == "..") return false;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == '/' || byte < 0x20 || byte == 0x7F) return false;
  }
  return true;
}

bool runInstallation(UserChoices& choices, const std::string& architecture, FlashStorage& flash,
                     FlashDriver& driver) {
  Installation run{choices, architecture, flash, driver, {}};
  showBanner();
  if (!findInterfaces(run.link)) return false;
  const std::string model = modelName(driver);
  findServer(run, model);
  if (!passReleaseGate(driver)) return false;
  KeptData kept = readOldSystem(run);
  if (!formatFlash()) return false;
  if (!mountFormattedFlash(flash)) return false;
  writeBack(kept);
  if (!receiveFiles(run)) return false;
  writeMarkers(run);
  runPostInstall(flash);
  finish(run);
  return true;
}

}  // namespace vl
