#include "tools/tarnwick/catalog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "packages/package_file.h"

namespace vl::tarnwick {
namespace {

std::string baseName(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool checkName(const std::string& name, std::string& error) {
  if (name.empty()) {
    error = "has no file name";
    return false;
  }
  if (name.size() > kMaxNameLength) {
    error = "name is " + std::to_string(name.size()) + " bytes long; the board keeps only " +
            std::to_string(kMaxNameLength) + " of them";
    return false;
  }
  if (name.find('\n') != std::string::npos) {
    error = "name contains a line feed";
    return false;
  }
  return true;
}

bool checkPackage(ServedFile& file, std::string& error) {
  PackageInfo info;
  if (!readPackageFile(info, file.path)) {
    error = "is not a readable package or bundle file";
    return false;
  }
  file.architectures.push_back(info.architecture);
  for (const PackageInfo& member : info.members) file.architectures.push_back(member.architecture);
  return true;
}

bool openFile(ServedFile& file, std::string& error) {
  file.fd = ::open(file.path.c_str(), O_RDONLY | O_CLOEXEC);
  if (file.fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  struct stat status {};
  if (::fstat(file.fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    error = "is not a regular file";
    return false;
  }
  file.size = status.st_size;
  if (file.size > kMaxFileSize) {
    error = "is " + std::to_string(file.size) + " bytes; the board takes at most " +
            std::to_string(kMaxFileSize);
    return false;
  }
  return true;
}

}  // namespace

bool isScriptName(std::string_view name) { return name.size() >= 5 && name.ends_with(".scr"); }

Catalog::~Catalog() { close(); }

void Catalog::close() {
  for (ServedFile& file : files_) {
    if (file.fd >= 0) ::close(file.fd);
  }
  files_.clear();
}

bool Catalog::load(const std::vector<std::string>& paths, std::string& error) {
  close();
  for (const std::string& path : paths) {
    ServedFile file;
    file.path = path;
    file.name = baseName(path);
    file.script = isScriptName(file.name);
    std::string why;
    const bool ok = checkName(file.name, why) && openFile(file, why) &&
                    (file.script || checkPackage(file, why));
    if (!ok) {
      if (file.fd >= 0) ::close(file.fd);
      close();
      error = path + ": " + why;
      return false;
    }
    files_.push_back(std::move(file));
  }
  return true;
}

std::vector<std::size_t> Catalog::filesFor(std::string_view architecture, bool filter) const {
  std::vector<std::size_t> chosen;
  for (std::size_t i = 0; i < files_.size(); ++i) {
    const ServedFile& file = files_[i];
    const bool fits = !filter || file.script ||
                      std::find(file.architectures.begin(), file.architectures.end(),
                                architecture) != file.architectures.end();
    if (fits) chosen.push_back(i);
  }
  return chosen;
}

}  // namespace vl::tarnwick
