// Any text either is refused or parses to a version whose canonical text parses back to
// the same value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "packages/version.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 64) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const vl::Version version = vl::parseVersion(text);
  if (version == vl::kNoVersion) return 0;
  const std::string canonical = vl::formatVersion(version);
  if (canonical.size() > 79) std::abort();
  // "test" builds print as a plain level and "final" words vanish; the value survives.
  if (vl::parseVersion(canonical) != version) std::abort();
  return 0;
}
