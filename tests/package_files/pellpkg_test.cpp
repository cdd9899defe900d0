// The pellpkg program from its command line: what it builds reads back, verify's exit
// status, and failures that leave nothing behind.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "packages/package_file.h"
#include "tests/support/files.h"
#include "tests/support/packages.h"
#include "tools/pellpkg/builder.h"
#include "tools/signing/signing.h"

namespace vl {
namespace {

struct ToolRun {
  int status;
  std::string out;
};

ToolRun pellpkg(const std::string& args) {
  const std::string command = std::string(VL_PELLPKG) + " " + args + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  std::string out;
  char buffer[4096];
  std::size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  const int status = pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

class Pellpkg : public ::testing::Test {
 protected:
  void SetUp() override {
    write("root/bin/tool", "#!/bin/sh\n");
    chmod((dir + "/root/bin/tool").c_str(), 0755);
    write("root/etc/conf", "x=1\n");
    write("m.json",
          R"({"name": "wireless", "version": "7.1beta4", "build-time": 1700000000, "flags": 3,
              "architecture": "mips", "text2": "t2", "text24": "t24", "note": "radio",
              "dependencies": [{"name": "system", "min": "7.0", "max": 117506048}],
              "provides": [{"name": "wifi", "priority": -2}], "conflicts": ["old"],
              "files": "root", "image": "root/etc/conf"})");
  }
  void write(const std::string& relative, const std::string& text) {
    testing::writeFile(work / relative, text);
  }
  testing::Tree listing() {
    testing::Tree tree;
    testing::snapshotInto(dir, tree);
    return tree;
  }

  testing::TempDir work;
  const std::string dir = work.path();
  const std::string secret = std::string(" --secret ") + VL_DEV_SECRET_KEYS;
  const std::string keys = std::string(" --keys ") + VL_DEV_PUBLIC_KEYS;
};

TEST_F(Pellpkg, BuildsWhatReadsBackFieldForField) {
  ASSERT_EQ(pellpkg("build " + dir + "/m.json -o " + dir + "/w.vpk" + secret).status, 0);
  PackageInfo info;
  ASSERT_TRUE(readPackageFile(info, dir + "/w.vpk"));
  EXPECT_EQ(std::tie(info.name, info.version, info.buildTime, info.flags, info.architecture,
                     info.text2, info.text24, info.note, info.hasImage),
            std::make_tuple("wireless", 0x07016204u, 1700000000u, 3u, "mips", "t2", "t24", "radio",
                            true));
  EXPECT_EQ(std::tie(info.dependencies, info.provides, info.conflicts),
            std::make_tuple(std::vector<Relation>{{"system", 0x07006600, 117506048, 0}},
                            std::vector<Relation>{{"wifi", 0, 0, -2}},
                            std::vector<Relation>{{"old", 0, 0, 0}}));
  const ToolRun inspected = pellpkg("inspect " + dir + "/w.vpk" + keys);
  EXPECT_EQ(inspected.status, 0);
  EXPECT_NE(inspected.out.find("  0100755         10  bin/tool\n"), std::string::npos)
      << inspected.out;
  EXPECT_NE(inspected.out.find("level 2, SHA-256"), std::string::npos) << inspected.out;
  EXPECT_EQ(inspected.out.find("WARNING"), std::string::npos) << inspected.out;
}

TEST_F(Pellpkg, VerifyExitsZeroOnlyWhenTheLevelIsReached) {
  for (const std::string& build :
       {"both.vpk" + secret, "one.vpk --schemes 1" + secret, std::string("none.vpk --unsigned"),
        "untracked.vpk --untracked" + secret}) {
    ASSERT_EQ(pellpkg("build " + dir + "/m.json -o " + dir + "/" + build).status, 0) << build;
  }
  struct Case {
    const char* file;
    const char* level;
    int status;
  };
  const Case cases[] = {
      {"both.vpk", "2", 0}, {"both.vpk", "", 0},  // 7.1beta4 requires 2
      {"one.vpk", "1", 0},  {"one.vpk", "2", 1},       {"one.vpk", "", 1},
      {"none.vpk", "0", 1}, {"untracked.vpk", "2", 0},
  };
  for (const Case& c : cases) {
    const std::string level = *c.level ? std::string(" --level ") + c.level : "";
    EXPECT_EQ(pellpkg("verify " + dir + "/" + c.file + level + keys).status, c.status)
        << c.file << level;
  }
  // Another key set does not vouch for these packages; a key file that is none fails.
  const std::vector<std::uint8_t> material(kKeyMaterialSize, 0x5A);
  const auto other = deriveKeys(material.data());
  ASSERT_TRUE(other);
  write("other.provision", formatKeySet(other->keys, {}));
  EXPECT_EQ(
      pellpkg("verify " + dir + "/both.vpk --level 1 --keys " + dir + "/other.provision").status,
      1);
  write("empty.provision", "");
  EXPECT_NE(pellpkg("verify " + dir + "/both.vpk --keys " + dir + "/empty.provision").status, 0);
}

TEST_F(Pellpkg, FailuresExitNonZeroAndLeaveNothingBehind) {
  write("bad.json", R"({"name": "this-name-is-too-long", "version": "1.0"})");
  write("noversion.json", R"({"name": "x"})");
  write("slash.json", R"({"name": "a/b", "version": "1.0"})");
  write("broken.json", R"({"name": )");
  write("missingtree.json", R"({"name": "x", "version": "1.0", "files": "nowhere"})");
  write("self.json", R"({"name": "x", "version": "1.0", "members": ["self.json"]})");
  write("control.json", R"({"name": "x", "version": "1.0", "files": "control"})");
  write("control/x\n../etc/passwd", "");
  const testing::Tree before = listing();
  const char* cases[] = {
      "build {d}/bad.json -o {d}/out.vpk --unsigned",
      "build {d}/noversion.json -o {d}/out.vpk --unsigned",
      "build {d}/slash.json -o {d}/out.vpk --unsigned",
      "build {d}/broken.json -o {d}/out.vpk --unsigned",
      "build {d}/missingtree.json -o {d}/out.vpk --unsigned",
      "build {d}/self.json -o {d}/out.vpk --unsigned",
      "build {d}/control.json -o {d}/out.vpk --unsigned",
      "build {d}/m.json -o {d}/out.vpk",  // neither --secret nor --unsigned
      "build {d}/m.json -o {d}/out.vpk --secret {d}/m.json",
      "build {d}/m.json -o {d}/no/such/dir/out.vpk --unsigned",
      "inspect {d}/missing.vpk",
      "verify {d}/m.json",
      "",
  };
  for (std::string args : cases) {
    for (std::size_t at; (at = args.find("{d}")) != std::string::npos;) args.replace(at, 3, dir);
    const ToolRun run = pellpkg(args);
    EXPECT_NE(run.status, 0) << args;
    EXPECT_FALSE(run.out.empty()) << args;
    EXPECT_EQ(listing(), before) << args;
  }
  EXPECT_EQ(pellpkg("--version").out, "pellpkg " VL_PROJECT_VERSION "\n");
}

// Packages as no builder makes them, and a bundle header that no signature covers: what
// inspect and verify say of them.
TEST_F(Pellpkg, InspectReportsExactlyWhatTheInstallerReads) {
  write("b.json",
        R"({"name": "suite", "version": "7.1", "members": ["m.json"], "choices": ["wireless"]})");
  ASSERT_EQ(pellpkg("build " + dir + "/b.json -o " + dir + "/b.vpk" + secret).status, 0);
  const std::string bundle = pellpkg("inspect " + dir + "/b.vpk" + keys).out;
  EXPECT_NE(bundle.find("WARNING: the header part at offset 14 lies outside every valid signature"),
            std::string::npos)
      << bundle;
  // A second signature right after the first one covers its own part header alone.
  pkgbuild::PackageWriter twice;
  twice.part(kPartPackageHeader, pkgbuild::encodeHeaderRecord("wireless", 0x07016410, 0, {}));
  ASSERT_TRUE(twice.sign(pkgbuild::signerFor(testing::devKeys()), 68));
  ASSERT_TRUE(twice.sign(pkgbuild::signerFor(testing::devKeys()), 68));
  // A file whose data ends before its length: 30-byte entry header, name, 3 of 100 bytes.
  std::string raw(30, '\0');
  raw[0] = static_cast<char>(0xa4), raw[1] = static_cast<char>(0x81), raw[24] = 100, raw[28] = 5;
  raw += "bin/xabc";
  pkgbuild::Bytes deflated(compressBound(static_cast<uLong>(raw.size())));
  uLongf size = deflated.size();
  ASSERT_EQ(compress2(deflated.data(), &size, reinterpret_cast<const Bytef*>(raw.data()),
                      static_cast<uLong>(raw.size()), 9),
            Z_OK);
  deflated.resize(size);
  pkgbuild::PackageWriter shortData;
  shortData.part(kPartPackageHeader, pkgbuild::encodeHeaderRecord("short", 0x07016410, 0, {}));
  shortData.part(kPartFiles, deflated);
  for (const auto& [name, writer] : {std::pair{"twice.vpk", &twice}, {"short.vpk", &shortData}}) {
    const pkgbuild::Bytes bytes = writer->finish();
    write(name, std::string(bytes.begin(), bytes.end()));
  }
  const ToolRun inspected = pellpkg("inspect " + dir + "/twice.vpk" + keys);
  EXPECT_NE(inspected.out.find("at 46: 68 bytes, level 1, SHA-1 digest over bytes 8 to 51, "
                               "package wireless\n  at 120: 68 bytes, level 1, SHA-1 digest "
                               "over bytes 120 to 125\n"),
            std::string::npos)
      << inspected.out;
  EXPECT_EQ(pellpkg("verify " + dir + "/twice.vpk --level 1" + keys).status, 1);
  EXPECT_NE(pellpkg("inspect " + dir + "/short.vpk").out.find("(archive broken)"),
            std::string::npos);
}

}  // namespace
}  // namespace vl
