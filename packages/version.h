// Release numbers of the Pellorin system, packed so that a plain unsigned comparison
// orders them: major, minor, kind letter, level.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vl {

using Version = std::uint32_t;

inline constexpr Version kNoVersion = 0;

constexpr Version makeVersion(unsigned major, unsigned minor, char kind, unsigned level) {
  return (Version{major & 0xFFu} << 24) | (Version{minor & 0xFFu} << 16) |
         (Version{static_cast<unsigned char>(kind)} << 8) | Version{level & 0xFFu};
}

// 0 when the text is not a version. Numbers above 255 are refused rather than packed
// into the neighbouring field, so that no text aliases another release.
Version parseVersion(std::string_view text);

// Always succeeds; at most 79 characters.
std::string formatVersion(Version version);

// "name-version", e.g. system-6.49.10: how every package message names a package.
std::string nameVersion(std::string_view name, Version version);

// A dependency bound: the name alone when there is no minimum, else name-version.
std::string boundText(std::string_view name, Version minimum);

// "%b/%d/%Y %H:%M:%S" in UTC; empty when the time cannot be converted.
std::string formatBuildTime(std::uint32_t seconds);

}  // namespace vl
