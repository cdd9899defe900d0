#include "packages/database.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "packages/version.h"
#include "streams/stream.h"

namespace vl {
namespace {

constexpr const char* kHideCursor = "\x1b[?25l";
constexpr const char* kShowCursor = "\x1b[?25h";
constexpr std::size_t kWipeWidth = 79;
constexpr std::size_t kListRule = 94;

// Whole contents of a small text file; false when it cannot be opened or read.
bool readText(const std::string& path, std::string& out) {
  FdStream in = FdStream::openRead(path);
  std::vector<std::uint8_t> bytes;
  if (!in.isOpen() || !readAll(in, bytes)) return false;
  out.assign(bytes.begin(), bytes.end());
  return true;
}

// Blank-separated words of a metadata file, read one after another.
class Words {
 public:
  explicit Words(std::string text) : text_(std::move(text)) {}

  bool word(std::string& out) {
    while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
    if (pos_ >= text_.size()) return false;
    const std::size_t start = pos_;
    while (pos_ < text_.size() && !std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
    out = text_.substr(start, pos_ - start);
    return true;
  }

  // An unsigned decimal number of 32 bits; anything else (a sign included) fails.
  bool number(std::uint32_t& out) {
    std::string w;
    if (!word(w) || w.size() > 10 || w.find_first_not_of("0123456789") != std::string::npos) {
      return false;
    }
    const unsigned long long value = std::stoull(w);
    if (value > 0xFFFFFFFFull) return false;
    out = static_cast<std::uint32_t>(value);
    return true;
  }

  bool signedNumber(std::int32_t& out) {
    std::string w;
    if (!word(w)) return false;
    const bool negative = !w.empty() && w[0] == '-';
    const std::string digits = negative || (!w.empty() && w[0] == '+') ? w.substr(1) : w;
    if (digits.empty() || digits.size() > 10 ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
      return false;
    }
    const long long value = negative ? -std::stoll(digits) : std::stoll(digits);
    if (value < INT32_MIN || value > INT32_MAX) return false;
    out = static_cast<std::int32_t>(value);
    return true;
  }

 private:
  std::string text_;
  std::size_t pos_ = 0;
};

// Relation lines of deps, provides or conflicts. A missing file is an empty list; a name
// without its numbers is a failure.
bool readRelationFile(const std::string& path, bool withPriority, std::vector<Relation>& out) {
  std::string text;
  out.clear();
  if (!readText(path, text)) return true;
  Words words(std::move(text));
  Relation r;
  while (words.word(r.name)) {
    if (!words.number(r.minimum) || !words.number(r.maximum)) return false;
    r.priority = 0;
    if (withPriority && !words.signedNumber(r.priority)) return false;
    out.push_back(r);
  }
  return true;
}

std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

std::string relationLines(const std::vector<Relation>& list, bool withPriority) {
  std::string text;
  for (const Relation& r : list) {
    text += r.name + " " + std::to_string(r.minimum) + " " + std::to_string(r.maximum);
    if (withPriority) text += " " + std::to_string(r.priority);
    text += "\n";
  }
  return text;
}

std::vector<std::string> sortedEntries(const std::string& directory, bool& opened) {
  std::vector<std::string> names;
  DIR* dir = opendir(directory.c_str());
  opened = dir != nullptr;
  if (dir == nullptr) return names;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
  }
  closedir(dir);
  // readdir's order is the file system's; a sorted scan loads the same way every time.
  std::sort(names.begin(), names.end());
  return names;
}

// A line of a files list names a path below the installed root: removal puts "/flash"
// in front of it, so a damaged or forged list must not reach outside it (a ".."
// component), the root itself (no name), or another line's path (a control character).
bool isOwnedLine(const std::string& line) {
  bool named = false;
  std::size_t start = 0;
  while (start <= line.size()) {
    std::size_t end = line.find('/', start);
    if (end == std::string::npos) end = line.size();
    const std::string_view component(line.data() + start, end - start);
    start = end + 1;
    if (component == "..") return false;
    named = named || (!component.empty() && component != ".");
  }
  return named && !hasControlCharacter(line);
}

std::string padLeft(const std::string& text, std::size_t width) {
  return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

}  // namespace

const char* actionName(PendingAction action) {
  switch (action) {
    case PendingAction::None:
      return "";
    case PendingAction::Uninstall:
      return "uninstall";
    case PendingAction::Enable:
      return "enable";
    case PendingAction::Disable:
      return "disable";
  }
  return "";
}

std::string Package::displayName() const {
  if (!bundleName.empty()) return boundText(bundleName, bundleMinimum);
  return nameVersion(name, version);
}

std::string Package::directory() const { return std::string(kDatabaseDir) + name; }

std::string ownedPath(const std::string& target) {
  const std::string root = kInstallRoot;
  if (target.compare(0, root.size(), root) == 0 && target.size() > root.size() &&
      target[root.size()] == '/') {
    return target.substr(root.size());
  }
  return target;
}

std::string installedPath(const std::string& owned) {
  return std::string(kInstallRoot) + (owned.empty() || owned[0] != '/' ? "/" : "") + owned;
}

std::string schedulePath(std::string_view name) {
  std::string kept;
  for (const char c : name) {
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (letter || (c >= '0' && c <= '9') || c == '-') kept += c;
  }
  return std::string(kScheduleDir) + kept + "/schedule";
}

// Reporter

void Reporter::put(std::string_view text) const { (void)writeAllTo(fd_, text); }

void Reporter::setStatus(const std::string& text) {
  if (quiet_ || text == status_) return;
  std::string out = kHideCursor;
  out += '\r';
  out += text;
  if (status_.size() > text.size()) out.append(status_.size() - text.size(), ' ');
  out += '\r';
  out += kShowCursor;
  put(out);
  status_ = text;
}

void Reporter::emit(const char* prefix, bool clearStatus, const char* format, va_list args) {
  if (quiet_) return;
  if (clearStatus) setStatus(std::string());
  char body[kMessageLimit + 1];
  std::vsnprintf(body, sizeof body, format, args);
  const std::string message = std::string(prefix) + body;
  std::string out;
  if (!status_.empty()) out += "\r" + std::string(kWipeWidth, ' ') + "\r";
  out += message + "\n" + status_;
  put(out);
  messages_.push_back(message);
}

void Reporter::error(const char* format, ...) {
  va_list args;
  va_start(args, format);
  emit("ERROR: ", true, format, args);
  va_end(args);
}

void Reporter::warning(const char* format, ...) {
  va_list args;
  va_start(args, format);
  emit("WARNING: ", false, format, args);
  va_end(args);
}

void Reporter::info(const char* format, ...) {
  va_list args;
  va_start(args, format);
  emit("", true, format, args);
  va_end(args);
}

void Reporter::reportWriteFailure(const Package& package, const std::string& name, int error) {
  const std::string named = package.displayName();
  if (error == ENOSPC) {
    this->error("installation of %s failed: disk is too small", named.c_str());
  } else if (error == EIO) {
    this->error("installation of %s failed: disk error", named.c_str());
  } else {
    this->error("installation of %s failed: could not create %s: %s", named.c_str(), name.c_str(),
                std::strerror(error));
  }
}

std::string progressText(const std::string& text, std::uint64_t position, std::uint64_t total) {
  std::string out = text + " [";
  const std::size_t width =
      out.size() < Reporter::kProgressWidth ? Reporter::kProgressWidth - out.size() : 0;
  // A stream longer than its header claims must not push the bar past its width.
  std::uint64_t filled = total == 0 ? 0 : position * width / total;
  filled = std::min<std::uint64_t>(filled, width);
  out.append(static_cast<std::size_t>(filled), '#');
  out.append(width - static_cast<std::size_t>(filled), ' ');
  out += ']';
  return out;
}

void Reporter::showProgress(const std::string& text, const PartReader& reader) {
  setStatus(progressText(text, reader.position(), reader.total()));
}

// Repository

Repository& repository() {
  static Repository instance;
  return instance;
}

void openRepository(bool quiet, const std::string& architecture) {
  repository().open(quiet, architecture);
}

Package* Repository::find(std::string_view name) const {
  for (const auto& p : packages) {
    if (p->name == name) return p.get();
  }
  return nullptr;
}

int Repository::indexOf(std::string_view name) const {
  for (std::size_t i = 0; i < packages.size(); ++i) {
    if (packages[i]->name == name) return static_cast<int>(i);
  }
  return -1;
}

Package& Repository::append(std::unique_ptr<Package> package) {
  packages.push_back(std::move(package));
  return *packages.back();
}

std::unique_ptr<Package> Repository::take(const Package& package) {
  for (auto it = packages.begin(); it != packages.end(); ++it) {
    if (it->get() != &package) continue;
    std::unique_ptr<Package> owned = std::move(*it);
    packages.erase(it);
    return owned;
  }
  return nullptr;
}

void Repository::loadImage(std::unique_ptr<Package> record, const std::string& imagePath) {
  FdStream image = FdStream::openRead(imagePath);
  if (!image.isOpen()) return;
  PartReader reader(image, false, nullptr);
  reader.want({kPartBundleHeader, kPartPackageHeader, kPartText24, kPartNote, kPartDependencies,
               kPartProvides, kPartConflicts});
  if (reader.next() == kPartBundleHeader) {
    if (readPackageHeader(*record, reader)) {
      while (reader.type() == kPartPackageHeader) {
        auto member = std::make_unique<Package>();
        // A member that does not parse ends the list: its part stays current.
        if (!readPackageHeader(*member, reader)) break;
        member->bundleName = record->name;
        member->bundleMinimum = record->version;
        member->bundleMaximum = record->version;
        member->bundlePriority = 0;
        append(std::move(member));
      }
    }
  } else {
    (void)readPackageHeader(*record, reader);
  }
  append(std::move(record));
}

void Repository::scanImages(const std::string& directory, bool entriesAreDirectories) {
  bool opened = false;
  for (const std::string& entry : sortedEntries(directory, opened)) {
    auto record = std::make_unique<Package>();
    record->name = entry;
    loadImage(std::move(record), directory + entry + (entriesAreDirectories ? "/image" : ""));
  }
}

void Repository::open(bool quiet, const std::string& arch) {
  reporter.setQuiet(quiet);
  architecture = arch;
  packages.clear();  // a second load must not hold every record twice
  bool opened = false;
  (void)sortedEntries(kDatabaseDir, opened);
  if (!opened) {
    reporter.warning("could not open repo");
    return;
  }
  scanImages(kDatabaseDir, true);
  scanImages(kImagesDir, false);
  for (const auto& p : packages) loadPackageState(*p);
  for (const std::string& entry : sortedEntries(kDatabaseDir, opened)) {
    if (find(entry) != nullptr) continue;
    auto record = std::make_unique<Package>();
    record->name = entry;
    loadPackageState(*record);
    append(std::move(record));
  }
}

void Repository::loadPackageState(Package& p) {
  const std::string d = p.directory() + "/";
  if (p.version == 0) {
    std::string text;
    Words version(readText(d + "version", text) ? text : std::string());
    if (!version.number(p.version) || !version.number(p.buildTime)) {
      p.pending = PendingAction::Uninstall;
    }
    const bool relationsRead = readRelationFile(d + "deps", false, p.dependencies) &&
                               readRelationFile(d + "provides", true, p.provides) &&
                               readRelationFile(d + "conflicts", false, p.conflicts);
    if (!relationsRead) p.pending = PendingAction::Uninstall;
    std::string bundle;
    if (readText(d + "bundle", text) && Words(text).word(bundle)) {
      p.bundleName = bundle;
      p.bundleMinimum = 0;
      p.bundleMaximum = 0;
      p.pending = PendingAction::Uninstall;
    }
    if (!readText(d + "files", text)) {
      p.isBundle = true;
    } else {
      p.isBundle = false;
      std::size_t start = 0;
      while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!isOwnedLine(line)) continue;
        p.files.insert(line[0] == '/' ? line : "/" + line);
      }
    }
  }

  p.userForced = false;
  std::string text;
  if (readText(d + "disabled", text)) {
    p.disabled = true;
    p.userForced = firstLine(text) != "auto";
  } else {
    p.disabled = false;
    if (access((d + "enabled").c_str(), R_OK) == 0) p.userForced = true;
  }
  if (p.isPlaceholder()) return;

  std::string action;
  if (!readText(schedulePath(p.name), text) || !Words(text).word(action)) return;
  if (action == "uninstall") p.pending = PendingAction::Uninstall;
  if (action == "enable" || action == "disable") {
    p.pending = action == "enable" ? PendingAction::Enable : PendingAction::Disable;
    p.userForced = true;
  }
}

bool Repository::stageText(Package& package, ChangeJournal& journal, const std::string& path,
                           const std::string& text, const char* failureName) {
  FdStream out = journal.stageFile(path, text.size(), 0644);
  const bool written = out.isOpen() && out.write(text.data(), text.size()) >= 0;
  if (out.close() && written) return true;
  reporter.reportWriteFailure(package, failureName, out.error() != 0 ? out.error() : EIO);
  return false;
}

bool Repository::writePackageMeta(Package& p, ChangeJournal& journal) {
  const std::string d = p.directory() + "/";
  if (!p.hasImage && (p.flags & kFlagNoMetadata) == 0) {
    const std::string version =
        std::to_string(p.version) + " " + std::to_string(p.buildTime) + "\n";
    if (!stageText(p, journal, d + "version", version, "meta/version")) return false;
    if (!stageText(p, journal, d + "deps", relationLines(p.dependencies, false), "meta/deps")) {
      return false;
    }
    if (!p.provides.empty() &&
        !stageText(p, journal, d + "provides", relationLines(p.provides, true), "meta/provides")) {
      return false;
    }
    if (!p.conflicts.empty() && !stageText(p, journal, d + "conflicts",
                                           relationLines(p.conflicts, false), "meta/conflicts")) {
      return false;
    }
    if (p.bundleName.empty()) {
      journal.stageRemove(d + "bundle");
    } else if (!stageText(p, journal, d + "bundle", p.bundleName + "\n", "meta/bundle")) {
      return false;
    }
    if (!p.isBundle) {
      std::string files;
      for (const std::string& path : p.files)
        files += (path[0] == '/' ? path.substr(1) : path) + "\n";
      if (!stageText(p, journal, d + "files", files, "meta/files")) return false;
    }
  }
  if (!p.disabled) {
    journal.stageRemove(d + "disabled");
  } else if (!stageText(p, journal, d + "disabled", p.userForced ? "user\n" : "auto\n",
                        "meta/disabled")) {
    return false;
  }
  if (p.disabled || !p.userForced) {
    journal.stageRemove(d + "enabled");
  } else if (!stageText(p, journal, d + "enabled", "user\n", "meta/enabled")) {
    return false;
  }
  return true;
}

bool Repository::markDisabled(Package& p, ChangeJournal& journal) {
  const std::string d = p.directory() + "/";
  journal.stageRemove(d + "enabled");
  const bool written =
      stageText(p, journal, d + "disabled", p.userForced ? "user\n" : "auto\n", "meta/disabled");
  p.disabled = true;
  p.pending = PendingAction::None;
  return written;
}

bool Repository::markEnabled(Package& p, ChangeJournal& journal) {
  const std::string d = p.directory() + "/";
  journal.stageRemove(d + "disabled");
  bool written = true;
  if (p.userForced) {
    written = stageText(p, journal, d + "enabled", "user\n", "meta/enabled");
  } else {
    journal.stageRemove(d + "enabled");
  }
  p.disabled = false;
  p.pending = PendingAction::None;
  return written;
}

void Repository::removePackage(Package& p, ChangeJournal& journal) {
  for (const std::string& path : p.files) journal.stageRemove(installedPath(path));
  journal.stageRemove(p.directory());
  journal.stageRemove(p.directory() + "/image");
  struct stat st {};
  if ((p.flags & kFlagBootImage) != 0 && stat(kBootImagePath, &st) == 0 && st.st_nlink == 1) {
    journal.stageRemove(kBootImagePath);
  }
  p.pending = PendingAction::None;
}

void Repository::print(const std::string& text) { reporter.write(text); }

void Repository::dump() {
  std::string out;
  for (const auto& p : packages) {
    out += "package <" + p->name + "> version=" + formatVersion(p->version) + "\n";
    if (p->disabled) out += "   disabled\n";
    if (p->userForced) out += "   user-forced\n";
    out += "  deps=\n";
    for (const Relation& r : p->dependencies) {
      out += "    <" + r.name + "> min=" + formatVersion(r.minimum) +
             " max=" + formatVersion(r.maximum) + "\n";
    }
    out += "  files=\n";
    for (const std::string& path : p->files) out += "    " + path + "\n";
  }
  out += "\n";
  print(out);
}

void Repository::list() {
  std::string out = padLeft("Name", 16) + "    " + padLeft("Version", 13) + " " +
                    padLeft("Built", 20) + padLeft("Note", 40) + "\n" +
                    std::string(kListRule, '-') + "\n";
  for (const auto& p : packages) {
    out += padLeft(p->name, 16) + " " + (p->disabled ? "X" : " ") +
           (p->bundleName.empty() ? "  " : "B ") + padLeft(formatVersion(p->version), 13) + " " +
           padLeft(formatBuildTime(p->buildTime), 20) + " " + padLeft(p->note, 40) + "\n";
  }
  print(out);
}

}  // namespace vl
