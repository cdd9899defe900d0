#include "tests/link/board_driver.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <sstream>

namespace vl::test {

std::uint64_t fnv1a(std::uint64_t hash, const std::uint8_t* bytes, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    hash ^= bytes[i];
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

namespace {

bool consoleHasInput() {
  pollfd console{0, POLLIN, 0};
  return ::poll(&console, 1, 0) == 1;
}

void pause(const BoardScript& script) {
  char byte = 'p';
  (void)!::write(script.pauseSignal, &byte, 1);
  (void)!::read(script.pauseResume, &byte, 1);
}

// Receives the announced file; false when the link failed.
bool receiveFile(ServerLink& link, const BoardScript& script, int index, ReceivedFile& file,
                 bool& paused) {
  int out = -1;
  if (!script.outDir.empty()) {
    const std::string path = script.outDir + "/" + file.name;
    out = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  }
  std::uint8_t buffer[4096];
  bool ok = true;
  for (;;) {
    if (!paused && index == script.pauseFile && script.pauseBytes >= 0 &&
        file.received >= script.pauseBytes) {
      pause(script);
      paused = true;
    }
    const int count = readFileData(*link.fileStream, buffer, sizeof buffer);
    if (count < 0) ok = false;
    if (count <= 0) break;
    file.received += count;
    file.checksum = fnv1a(file.checksum, buffer, static_cast<std::size_t>(count));
    if (out >= 0) (void)!::write(out, buffer, static_cast<std::size_t>(count));
  }
  if (out >= 0) ::close(out);
  return ok;
}

}  // namespace

BoardReport runBoard(const BoardScript& script) {
  BoardReport report;
  ServerLink link;
  if (!enumerateChannels(link.channels) || link.channels.empty()) {
    report.outcome = "no-channels";
    return report;
  }
  report.channels = static_cast<int>(link.channels.size());
  const Version minVersion = script.minVersion;
  (void)discoverServer(
      link, script.architecture, "", "", script.model, [minVersion]() { return minVersion; },
      report.keep);
  report.chosen = link.chosen;
  report.ownMac = formatMac(link.state.ownMac);
  report.serverMac = formatMac(link.state.peerMac);
  report.started = startInstall(link);
  if (!report.started) {
    report.outcome = "refused";
    return report;
  }
  bool paused = false;
  for (int index = 0;; ++index) {
    if (index == script.pauseFile && script.pauseBytes < 0) pause(script);
    const NextFile next = requestNextFile(link);
    if (next == NextFile::LinkFailure) {
      report.outcome = "link-failure";
      return report;
    }
    if (next == NextFile::EndOfList) break;
    ReceivedFile file;
    file.name = link.fileStream->name;
    file.size = link.fileStream->size;
    file.checksum = kFnvStart;
    const bool ok = receiveFile(link, script, index, file, paused);
    report.files.push_back(file);
    if (!ok) {
      report.outcome = "read-failure";
      return report;
    }
  }
  report.outcome = "end";
  if (script.awaitTerm) {
    int console[2] = {script.console, -1};
    if (console[0] < 0 && ::pipe(console) != 0) return report;
    ::dup2(console[0], 0);
    awaitTermination(link);
    report.terminated = !consoleHasInput();  // input left unread: the wait ended on a key
  }
  return report;
}

std::string encodeReport(const BoardReport& report) {
  std::ostringstream out;
  out << "channels " << report.channels << "\nchosen " << report.chosen << "\nkeep " << report.keep
      << "\nown " << report.ownMac << "\nserver " << report.serverMac << "\nstarted "
      << report.started << "\noutcome " << report.outcome << "\nterminated " << report.terminated
      << "\n";
  for (const ReceivedFile& file : report.files) {
    out << "file " << file.name << " " << file.size << " " << file.received << " " << file.checksum
        << "\n";
  }
  return out.str();
}

BoardReport decodeReport(const std::string& text) {
  BoardReport report;
  std::istringstream in(text);
  std::string key;
  while (in >> key) {
    if (key == "channels") in >> report.channels;
    if (key == "chosen") in >> report.chosen;
    if (key == "keep") in >> report.keep;
    if (key == "own") in >> report.ownMac;
    if (key == "server") in >> report.serverMac;
    if (key == "started") in >> report.started;
    if (key == "outcome") in >> report.outcome;
    if (key == "terminated") in >> report.terminated;
    if (key == "file") {
      ReceivedFile file;
      in >> file.name >> file.size >> file.received >> file.checksum;
      report.files.push_back(file);
    }
  }
  return report;
}

}  // namespace vl::test
