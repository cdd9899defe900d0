// Any manifest text next to a small tree, an image and a member manifest either is
// refused or loads into a package that pellpkg builds and the board's reader parses back
// to the same header fields (without an architecture part the reader takes its default). Inputs
// that could name a file outside the folder (a "/", a "\" escape or "..") are passed over; the
// folder is in the private board root.
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz/common/board_root.h"
#include "tools/pellpkg/manifest.h"

namespace {

constexpr const char* kFolder = "/ram/m/";
constexpr const char* kFiles[][2] = {{"tree/a", "alpha\n"},
                                     {"tree/d/b", "beta\n"},
                                     {"image", "IMG"},
                                     {"member.json", R"({"name": "m", "version": "6.49"})"}};

void checkBuiltHeader(const vl::pkgbuild::PackageSource& source) {
  const std::optional<vl::pkgbuild::Bytes> built =
      vl::pkgbuild::buildPackage(source, vl::pkgbuild::SignatureForm::None, {});
  if (!built) return;
  vl::MemorySource bytes(built->data(), built->size());
  vl::PartReader reader(bytes, false, nullptr);
  reader.wantAll();
  vl::PackageInfo info;
  if (reader.next() != vl::kPartPackageHeader || !vl::readPackageHeader(info, reader)) std::abort();
  if (info.name != source.name || info.version != source.version ||
      info.buildTime != source.buildTime || info.dependencies != source.dependencies ||
      info.provides != source.provides || info.conflicts != source.conflicts ||
      (source.architecture && info.architecture != *source.architecture)) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  vl::fuzzing::enterBoardRoot(*argc, *argv);
  for (const auto& [name, text] : kFiles) vl::fuzzing::writeFile(std::string(kFolder) + name, text);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 4096) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (text.find_first_of("/\\") != text.npos || text.find("..") != text.npos) return 0;
  vl::fuzzing::writeFile(std::string(kFolder) + "manifest.json", text);
  std::string error;
  const auto manifest =
      vl::pkgbuild::loadManifest(std::string(kFolder) + "manifest.json", 1, error);
  if (manifest && !manifest->isBundle) checkBuiltHeader(manifest->package);
  return 0;
}
