// pellpkg: builds, inspects and verifies Pellorin package files.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "packages/version.h"
#include "tools/pellpkg/builder.h"
#include "tools/pellpkg/inspect.h"
#include "tools/pellpkg/manifest.h"
#include "tools/signing/signing.h"

namespace {

using namespace vl;
using namespace vl::pkgbuild;

int fail(const std::string& message) {
  std::fprintf(stderr, "pellpkg: %s\n", message.c_str());
  return 1;
}

std::uint32_t defaultBuildTime() {
  // Reproducible builds name their time; otherwise now.
  if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH")) {
    return static_cast<std::uint32_t>(std::strtoul(epoch, nullptr, 10));
  }
  return static_cast<std::uint32_t>(std::time(nullptr));
}

struct BuildOptions {
  std::string manifest;
  std::string output;
  std::string secret;
  std::string schemes = "both";
  bool unsignedPackage = false;
  bool untracked = false;
};

int build(const BuildOptions& o) {
  if (o.unsignedPackage == !o.secret.empty()) {
    return fail("build: give either --secret FILE or --unsigned");
  }
  std::string error;
  auto manifest = loadManifest(o.manifest, defaultBuildTime(), error);
  if (!manifest) return fail(error);
  std::optional<SecretKeySet> secret;
  if (!o.unsignedPackage) {
    secret = loadSecretKeys(o.secret, error);
    if (!secret) return fail(error);
  }
  const SignatureForm form = o.unsignedPackage  ? SignatureForm::None
                             : o.schemes == "1" ? SignatureForm::SchemeOne
                                                : SignatureForm::Both;
  const Signer signer = secret ? signerFor(*secret) : Signer{};
  const std::uint32_t magic = o.untracked ? kMagicUntracked : kMagicTracked;
  std::optional<Bytes> bytes;
  if (manifest->isBundle) {
    BundleSource bundle{manifest->package, manifest->choices, manifest->members};
    bytes = buildBundle(bundle, form, signer, magic);
  } else {
    bytes = buildPackage(manifest->package, form, signer, magic);
  }
  if (!bytes) return fail("build: could not assemble or sign the package");
  if (bytes->size() - kFileHeaderSize > 0xFFFFFFFFu)
    return fail("build: package larger than 4 GiB");
  if (!writeFileAtomically(o.output, *bytes, error)) return fail(error);
  std::printf("%s: %zu bytes\n", o.output.c_str(), bytes->size());
  return 0;
}

std::optional<KeySet> keysFrom(const std::string& path, std::string& error) {
  if (path.empty()) return builtInKeys();
  return loadKeySet(path, error);
}

std::string relationText(const Relation& r, bool priority) {
  std::string text = r.name;
  if (r.minimum != 0) text += " >= " + formatVersion(r.minimum);
  if (r.maximum != 0) text += " <= " + formatVersion(r.maximum);
  if (priority) text += " priority " + std::to_string(r.priority);
  return text;
}

void printInfo(const PackageInfo& p, const char* indent) {
  std::printf("%s%s %s %s\n", indent, p.isBundle ? "bundle" : "package", p.name.c_str(),
              formatVersion(p.version).c_str());
  std::printf("%s  build time: %s (%u)\n", indent, formatBuildTime(p.buildTime).c_str(),
              p.buildTime);
  std::printf("%s  flags: 0x%08X%s%s\n", indent, p.flags,
              (p.flags & kFlagBootImage) ? " boot-image" : "",
              (p.flags & kFlagNoMetadata) ? " no-metadata" : "");
  std::printf("%s  architecture: %s\n", indent, p.architecture.c_str());
  if (!p.text2.empty()) std::printf("%s  text 2: %s\n", indent, p.text2.c_str());
  if (!p.text24.empty()) std::printf("%s  text 24: %s\n", indent, p.text24.c_str());
  if (!p.note.empty()) std::printf("%s  note: %s\n", indent, p.note.c_str());
  std::printf("%s  image: %s\n", indent, p.hasImage ? "yes" : "no");
  const std::pair<const char*, const std::vector<Relation>*> lists[] = {
      {"dependencies", &p.dependencies}, {"provides", &p.provides}, {"conflicts", &p.conflicts}};
  for (const auto& [title, list] : lists) {
    for (const Relation& r : *list) {
      std::printf("%s  %s: %s\n", indent, title, relationText(r, list == &p.provides).c_str());
    }
  }
}

int inspect(const std::string& path, const std::string& keysPath) {
  std::string error;
  const auto keys = keysFrom(keysPath, error);
  if (!keys) return fail(error);
  Inspection in;
  if (!inspectPackage(path, *keys, in, error)) return fail(error);
  std::printf("%s: %llu bytes, magic 0x%08X (%s), header length %llu + 8\n", path.c_str(),
              static_cast<unsigned long long>(in.fileSize), in.magic,
              in.magic == kMagicTracked     ? "tracked"
              : in.magic == kMagicUntracked ? "untracked"
                                            : "not a package file",
              static_cast<unsigned long long>(in.total - kFileHeaderSize));
  std::printf("\n    offset  type      length  part\n");
  for (const PartRow& row : in.parts) {
    std::printf("%10llu  %4u  %10u  %s\n", static_cast<unsigned long long>(row.offset), row.type,
                row.length, partName(row.type));
  }
  if (in.headerParsed) {
    std::printf("\n");
    printInfo(in.info, "");
    for (const PackageInfo& member : in.info.members) printInfo(member, "  ");
  } else {
    std::printf("\nheader parts: broken\n");
  }
  if (!in.files.empty()) std::printf("\nfiles:\n");
  for (const FileRow& f : in.files) {
    std::printf("  %07o %10u  %s%s\n", f.entry.mode, f.entry.dataLength, f.entry.name.c_str(),
                f.entry.isWritten() ? "" : "  (not written)");
  }
  if (in.archivesBroken) std::printf("  (archive broken)\n");
  std::printf("\nsignatures (%s keys):\n", keysPath.empty() ? "built-in" : keysPath.c_str());
  for (const SignatureRow& s : in.signatures) {
    std::printf("  at %llu: %u bytes, level %d, %s digest over bytes %llu to %llu%s%s\n",
                static_cast<unsigned long long>(s.offset), s.length, s.level,
                s.sha256 ? "SHA-256" : "SHA-1", static_cast<unsigned long long>(s.coveredBegin),
                static_cast<unsigned long long>(s.coveredEnd - 1),
                s.package.empty() ? "" : ", package ", s.package.c_str());
  }
  if (in.signatures.empty()) std::printf("  none\n");
  for (const std::uint64_t h : in.uncoveredHeaders) {
    std::printf("WARNING: the header part at offset %llu lies outside every valid signature\n",
                static_cast<unsigned long long>(h));
  }
  if (!in.readable) std::printf("WARNING: the file does not end where its header says\n");
  return 0;
}

int verify(const std::string& path, const std::string& keysPath, int level) {
  std::string error;
  const auto keys = keysFrom(keysPath, error);
  if (!keys) return fail(error);
  Inspection in;
  if (!inspectPackage(path, *keys, in, error)) return fail(error);
  if (!in.readable) return fail(path + ": broken package file");
  if (in.signatures.empty()) return fail(path + ": no signature");
  bool ok = true;
  for (const SignatureRow& s : in.signatures) {
    PackageInfo named;
    named.name = s.package;
    named.version = s.version;
    const int required = level >= 0 ? level : requiredSignatureLevel(named, false);
    const bool passed = !s.package.empty() && s.level >= required;
    std::printf("%s %s: level %d, required %d: %s\n",
                s.package.empty() ? "(no package)" : s.package.c_str(),
                formatVersion(s.version).c_str(), s.level, required, passed ? "good" : "BAD");
    ok = ok && passed;
  }
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Builds, inspects and verifies Pellorin package files."};
  app.set_version_flag("--version", std::string("pellpkg ") + VL_PROJECT_VERSION);
  app.require_subcommand(1);

  BuildOptions b;
  CLI::App* buildCmd =
      app.add_subcommand("build", "Build a package or bundle from a JSON manifest");
  buildCmd->add_option("manifest", b.manifest, "Manifest (JSON)")
      ->required()
      ->check(CLI::ExistingFile);
  buildCmd->add_option("-o,--output", b.output, "Package file to write")->required();
  buildCmd->add_option("--secret", b.secret, "Secret key file of pellkey");
  buildCmd->add_option("--schemes", b.schemes, "1: scheme 1 alone (68 bytes); both: 132 bytes")
      ->check(CLI::IsMember({"1", "both"}));
  buildCmd->add_flag("--unsigned", b.unsignedPackage, "Build without a signature part");
  buildCmd->add_flag("--untracked", b.untracked, "Use the untracked magic");

  std::string file, keys;
  int level = -1;
  CLI::App* inspectCmd =
      app.add_subcommand("inspect", "Show parts, header fields, files and signatures");
  inspectCmd->add_option("file", file, "Package file")->required();
  inspectCmd->add_option("--keys", keys,
                         "Provisioning file to check against (default: built-in keys)");
  CLI::App* verifyCmd =
      app.add_subcommand("verify", "Exit 0 only when every signature reaches the level");
  verifyCmd->add_option("file", file, "Package file")->required();
  verifyCmd->add_option("--keys", keys,
                        "Provisioning file to check against (default: built-in keys)");
  verifyCmd->add_option("--level", level, "Required level (default: the installer's rule)")
      ->check(CLI::Range(0, 2));

  CLI11_PARSE(app, argc, argv);
  if (buildCmd->parsed()) return build(b);
  if (inspectCmd->parsed()) return inspect(file, keys);
  return verify(file, keys, level);
}
