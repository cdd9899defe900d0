#include "tests/link/install_world.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <random>

#include "tools/pellpkg/builder.h"

namespace vl::test {

// Names ending in ".vpk" are packages (an image of `size` random bytes), others scripts.
SourceFile InstallWorld::addFile(const std::string& name, std::size_t size) {
  std::mt19937 random(static_cast<unsigned>(size * 31 + name.size()));
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
  if (name.ends_with(".vpk")) {
    pkgbuild::PackageSource source;
    source.name = name.substr(0, name.find('.'));
    source.version = makeVersion(6, 49, 'f', 10);
    source.architecture = "mips";
    source.image = pkgbuild::Bytes(bytes.begin(), bytes.end());
    source.files.push_back({"etc/" + source.name, 0100644, "contents of " + name, false});
    const auto built = pkgbuild::buildPackage(source, pkgbuild::SignatureForm::None, {});
    bytes = built ? std::string(built->begin(), built->end()) : "";
  }
  testing::writeFile(dir / name, bytes);
  return {dir / name, name, bytes};
}

bool InstallWorld::startServer(const std::string& ns, std::vector<std::string> arguments,
                               const std::vector<SourceFile>& files) {
  const std::string log = dir / "server.log";
  arguments.insert(arguments.begin(), {TARNWICK_PATH, "--events", dir / "events.jsonl"});
  for (const SourceFile& file : files) arguments.push_back(file.path);
  server = net.execIn(ns, arguments, log);
  for (int i = 0; i < 500; ++i) {
    if (readFile(log).find("serving") != std::string::npos) return true;
    if (!server.running()) break;
    ::usleep(10000);
  }
  ADD_FAILURE() << "tarnwick did not start:\n" << readFile(log);
  return false;
}

void InstallWorld::expectInstalled(const BoardReport& report, const std::string& outDir,
                                   const std::vector<SourceFile>& files) const {
  EXPECT_STREQ(report.outcome, "end") << readFile(dir / "server.log");
  ASSERT_EQ(report.fileCount, static_cast<int>(files.size()));
  for (std::size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(files[i].name);
    EXPECT_EQ(report.files[i].name, files[i].name);
    EXPECT_EQ(report.files[i].size, static_cast<std::int32_t>(files[i].bytes.size()));
    EXPECT_EQ(report.files[i].received, static_cast<std::int64_t>(files[i].bytes.size()));
    if (!outDir.empty()) {
      EXPECT_TRUE(readFile(outDir + "/" + files[i].name) == files[i].bytes);
    }
  }
}

}  // namespace vl::test
