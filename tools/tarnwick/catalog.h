// The files that tarnwick serves, checked once at start-up and kept open.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vl::tarnwick {

// The board keeps only the first 32 bytes of a name and reads the size as a signed
// 32-bit number; files that do not fit are refused here, before any board is served.
inline constexpr std::size_t kMaxNameLength = 31;
inline constexpr std::int64_t kMaxFileSize = 0x7FFFFFFF;

struct ServedFile {
  std::string path;
  std::string name;  // what the board is told: the last path component
  std::int64_t size = 0;
  bool script = false;
  // Architectures a board may report to get this package: the package's own, and for
  // a bundle also those of its members. Empty for scripts (served to every board).
  std::vector<std::string> architectures;
  int fd = -1;
};

// A configuration script: the board writes it itself instead of installing it.
bool isScriptName(std::string_view name);

class Catalog {
 public:
  Catalog() = default;
  Catalog(const Catalog&) = delete;
  Catalog& operator=(const Catalog&) = delete;
  ~Catalog();

  // Opens and checks every file in the given order. On false `error` says which file
  // and why, and nothing is kept.
  [[nodiscard]] bool load(const std::vector<std::string>& paths, std::string& error);

  const std::vector<ServedFile>& files() const { return files_; }

  // Indexes of the files for a board of `architecture`, in order; with `filter` off,
  // every file.
  std::vector<std::size_t> filesFor(std::string_view architecture, bool filter) const;

 private:
  void close();
  std::vector<ServedFile> files_;
};

}  // namespace vl::tarnwick
