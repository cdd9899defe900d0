#include "tests/link/install_world.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>

#include "tools/pellpkg/builder.h"

namespace vl::test {

std::uint64_t checksumOf(const std::string& bytes) {
  return fnv1a(kFnvStart, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

namespace {

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string randomBytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
  return bytes;
}

}  // namespace

InstallWorld::InstallWorld() {
  char pattern[] = "/tmp/vl-link-XXXXXX";
  dir = ::mkdtemp(pattern);
}

InstallWorld::~InstallWorld() {
  killServer();
  (void)run("rm -rf " + dir);
}

SourceFile InstallWorld::addScript(const std::string& name, std::size_t size) {
  SourceFile file{dir + "/" + name, name,
                  randomBytes(size, static_cast<unsigned>(size + name.size()))};
  writeFile(file.path, file.bytes);
  return file;
}

SourceFile InstallWorld::addPackage(const std::string& name, const std::string& architecture,
                                    std::size_t size) {
  pkgbuild::PackageSource source;
  source.name = name.substr(0, name.find('.'));
  source.version = makeVersion(6, 49, 'f', 10);
  source.architecture = architecture;
  source.image = pkgbuild::Bytes();
  const std::string image = randomBytes(size, static_cast<unsigned>(size * 31 + name.size()));
  source.image->assign(image.begin(), image.end());
  source.files.push_back({"etc/" + source.name, 0100644, "contents of " + name, false});
  const auto bytes = pkgbuild::buildPackage(source, pkgbuild::SignatureForm::None, {});
  SourceFile file{dir + "/" + name, name, bytes ? std::string(bytes->begin(), bytes->end()) : ""};
  writeFile(file.path, file.bytes);
  return file;
}

bool InstallWorld::startServer(const std::string& ns, const std::vector<std::string>& arguments) {
  const std::string log = dir + "/server.log";
  std::vector<std::string> argv = {TARNWICK_PATH, "--events", dir + "/events.jsonl"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  server_ = net.runIn(ns, [&]() {
    const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(fd, 1);
    ::dup2(fd, 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    return 127;
  });
  for (int i = 0; i < 500; ++i) {
    const std::string text = readFile(log);
    if (text.find("serving") != std::string::npos) return true;
    if (::waitpid(server_.pid, nullptr, WNOHANG) == server_.pid) {
      server_.pid = -1;
      std::fprintf(stderr, "tarnwick did not start:\n%s\n", text.c_str());
      return false;
    }
    ::usleep(10000);
  }
  return false;
}

void InstallWorld::killServer() {
  if (server_.pid > 0) {
    server_.kill(SIGKILL);
    (void)server_.wait();
  }
}

int InstallWorld::waitServer() { return server_.wait(); }

std::vector<std::string> InstallWorld::events() const {
  std::vector<std::string> kinds;
  std::istringstream in(readFile(dir + "/events.jsonl"));
  std::string line;
  while (std::getline(in, line)) {
    const auto json = nlohmann::json::parse(line, nullptr, false);
    kinds.push_back(json.is_discarded() ? "unparsable" : json.value("event", "missing"));
  }
  return kinds;
}

InstallWorld::BoardRun InstallWorld::startBoard(const std::string& ns, const BoardScript& script) {
  int fds[2];
  BoardRun run;
  if (::pipe(fds) != 0) return run;
  run.child = net.runIn(ns, [&]() {
    ::close(fds[0]);
    ::alarm(120);  // a board that never ends fails its test instead of hanging it
    const std::string text = encodeReport(runBoard(script));
    (void)!::write(fds[1], text.data(), text.size());
    return 0;
  });
  ::close(fds[1]);
  run.reportFd = fds[0];
  return run;
}

BoardReport InstallWorld::finishBoard(BoardRun& run) {
  std::string text;
  char buffer[4096];
  ssize_t got = 0;
  while ((got = ::read(run.reportFd, buffer, sizeof buffer)) > 0) {
    text.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(run.reportFd);
  (void)run.child.wait();
  return decodeReport(text);
}

}  // namespace vl::test
