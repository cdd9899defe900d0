#include "tests/link/board_driver.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "link/transfer.h"

namespace vl::test {

namespace {

void copy(char* to, std::size_t size, const std::string& text) {
  std::snprintf(to, size, "%s", text.c_str());
}

// Receives the announced file; false when the link failed.
bool receiveFile(ServerLink& link, const std::string& outDir, ReceivedFile& file) {
  const std::string path = outDir + "/" + file.name;
  const int out =
      outDir.empty() ? -1 : ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  std::uint8_t buffer[1000];  // less than a frame: chunks are handed out over several reads
  int count = 0;
  while ((count = readFileData(*link.fileStream, buffer, sizeof buffer)) > 0) {
    file.received += count;
    if (out >= 0) (void)!::write(out, buffer, static_cast<std::size_t>(count));
  }
  if (out >= 0) ::close(out);
  return count == 0;
}

void runBoard(BoardReport& report, const std::string& outDir, int console) {
  ServerLink link;
  copy(report.outcome, sizeof report.outcome, "no-channels");
  if (!enumerateChannels(link.channels) || link.channels.empty()) return;
  bool keep = false;
  (void)discoverServer(
      link, "mips", "", "", "QL-TEST", []() { return Version{0}; }, keep);
  report.chosen = link.chosen;
  copy(report.ownMac, sizeof report.ownMac, formatMac(link.state.ownMac));
  copy(report.serverMac, sizeof report.serverMac, formatMac(link.state.peerMac));
  copy(report.outcome, sizeof report.outcome, "link-failure");
  if (!startInstall(link)) return;
  for (NextFile next; (next = requestNextFile(link)) != NextFile::EndOfList;) {
    if (next == NextFile::LinkFailure || report.fileCount == 8) return;
    ReceivedFile& file = report.files[report.fileCount++];
    copy(file.name, sizeof file.name, link.fileStream->name);
    file.size = link.fileStream->size;
    if (!receiveFile(link, outDir, file)) {
      copy(report.outcome, sizeof report.outcome, "read-failure");
      return;
    }
  }
  copy(report.outcome, sizeof report.outcome, "end");
  int fds[2] = {console, -1};
  if (fds[0] < 0 && ::pipe(fds) != 0) return;
  ::dup2(fds[0], 0);
  awaitTermination(link);
  pollfd in{0, POLLIN, 0};
  report.terminated = ::poll(&in, 1, 0) != 1;  // input left unread: the wait ended on a key
}

}  // namespace

BoardRun::~BoardRun() {
  if (report != nullptr) ::munmap(report, sizeof(BoardReport));
}

void startBoard(BoardRun& run, NetWorld& net, const std::string& ns, const std::string& outDir,
                int console) {
  void* shared = ::mmap(nullptr, sizeof(BoardReport), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  run.report = new (shared) BoardReport;
  BoardReport* report = run.report;
  run.child = net.runIn(ns, [=]() {
    ::alarm(120);  // a board that never ends fails its test instead of hanging it
    runBoard(*report, outDir, console);
    return 0;
  });
}

const BoardReport& finishBoard(BoardRun& run) {
  (void)run.child.wait();
  return *run.report;
}

}  // namespace vl::test
