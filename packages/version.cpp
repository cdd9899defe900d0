#include "packages/version.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace vl {
namespace {

// One number as strtoul reads it. False when nothing was consumed or the value does
// not fit a field byte.
bool readNumber(const char*& cursor, unsigned& value) {
  char* end = nullptr;
  errno = 0;
  unsigned long number = std::strtoul(cursor, &end, 10);
  if (end == cursor || errno == ERANGE || number > 0xFF) return false;
  cursor = end;
  value = static_cast<unsigned>(number);
  return true;
}

bool startsWith(const char* text, std::string_view word) {
  return std::string_view(text).substr(0, word.size()) == word;
}

struct KindWord {
  std::string_view word;
  char kind;
};

constexpr KindWord kKindWords[] = {
    {"alpha", 'a'}, {"beta", 'b'}, {"rc", 'c'}, {"final", 'f'}, {"test", 'f'}};

}  // namespace

Version parseVersion(std::string_view text) {
  if (text.find('\0') != std::string_view::npos) return kNoVersion;
  const std::string owned(text);  // strtoul needs a terminated text
  const char* cursor = owned.c_str();
  unsigned major = 0, minor = 0, level = 0;
  if (!readNumber(cursor, major) || *cursor != '.') return kNoVersion;
  ++cursor;
  if (!readNumber(cursor, minor)) return kNoVersion;
  if (*cursor == '.') {
    ++cursor;
    if (!readNumber(cursor, level)) return kNoVersion;
  }

  char kind = 'f';
  if (*cursor != '\0') {
    const KindWord* found = nullptr;
    for (const KindWord& candidate : kKindWords) {
      if (startsWith(cursor, candidate.word)) {
        found = &candidate;
        break;
      }
    }
    if (found == nullptr) return kNoVersion;
    kind = found->kind;
    cursor += found->word.size();
    if (found->word == "test") {
      if (*cursor != '\0') return kNoVersion;
      level |= 0x80;
    }
  }

  if (level != 0) {
    if (*cursor != '\0') return kNoVersion;
  } else if (*cursor != '\0') {
    if (!readNumber(cursor, level) || *cursor != '\0') return kNoVersion;
  }
  return makeVersion(major, minor, kind, level);
}

std::string formatVersion(Version version) {
  const unsigned major = version >> 24;
  const unsigned minor = (version >> 16) & 0xFF;
  const unsigned kind = (version >> 8) & 0xFF;
  const unsigned level = version & 0xFF;
  char text[80];
  if (kind == 'f') {
    if (level == 0) {
      std::snprintf(text, sizeof text, "%u.%u", major, minor);
    } else {
      std::snprintf(text, sizeof text, "%u.%u.%u", major, minor, level);
    }
    return text;
  }
  const char* suffix = kind == 'a' ? "alpha" : kind == 'b' ? "beta" : kind == 'c' ? "rc" : "";
  if (level == 0) {
    std::snprintf(text, sizeof text, "%u.%u%s", major, minor, suffix);
  } else {
    std::snprintf(text, sizeof text, "%u.%u%s%u", major, minor, suffix, level);
  }
  return text;
}

std::string nameVersion(std::string_view name, Version version) {
  std::string text(name);
  text += '-';
  text += formatVersion(version);
  return text;
}

std::string boundText(std::string_view name, Version minimum) {
  if (minimum == kNoVersion) return std::string(name);
  return nameVersion(name, minimum);
}

std::string formatBuildTime(std::uint32_t seconds) {
  const std::time_t time = static_cast<std::time_t>(seconds);
  std::tm broken{};
  if (gmtime_r(&time, &broken) == nullptr) return {};
  char text[64];
  const std::size_t length = std::strftime(text, sizeof text, "%b/%d/%Y %H:%M:%S", &broken);
  return std::string(text, length);
}

}  // namespace vl
