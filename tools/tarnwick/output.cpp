#include "tools/tarnwick/output.h"

#include <sys/ioctl.h>
#include <time.h>

#include <nlohmann/json.hpp>

namespace vl::tarnwick {
namespace {

const char* kindName(Event::Kind kind) {
  switch (kind) {
    case Event::Seen:
      return "seen";
    case Event::Offered:
      return "offered";
    case Event::FileStarted:
      return "file_started";
    case Event::FileDone:
      return "file_done";
    case Event::Finished:
      return "finished";
    case Event::Failed:
      return "failed";
  }
  return "unknown";
}

double wallSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::string humanBytes(double bytes) {
  const char* units[] = {"B", "KiB", "MiB", "GiB"};
  int unit = 0;
  while (bytes >= 1024 && unit < 3) {
    bytes /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
  return text;
}

// Length of the UTF-8 sequence at the start of `text` when it is one printable
// character; 0 for control bytes, C1 controls, the backslash and broken sequences.
std::size_t printableLength(std::string_view text) {
  const auto lead = static_cast<unsigned char>(text[0]);
  if (lead < 0x80) return lead >= 0x20 && lead != 0x7f && lead != '\\' ? 1 : 0;
  std::size_t length = 0;
  std::uint32_t code = 0;
  std::uint32_t lowest = 0;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2, code = lead & 0x1fu, lowest = 0xa0;  // U+0080 to U+009F are controls
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3, code = lead & 0x0fu, lowest = 0x800;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4, code = lead & 0x07u, lowest = 0x10000;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[i]);
    if ((next & 0xc0u) != 0x80) return 0;
    code = (code << 6) | (next & 0x3fu);
  }
  const bool surrogate = code >= 0xd800 && code <= 0xdfff;
  return code >= lowest && code <= 0x10ffff && !surrogate ? length : 0;
}

}  // namespace

std::string printable(std::string_view text) {
  std::string shown;
  while (!text.empty()) {
    std::size_t length = printableLength(text);
    if (length > 0) {
      shown.append(text.substr(0, length));
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(text[0]));
      shown += escaped;
      length = 1;
    }
    text.remove_prefix(length);
  }
  return shown;
}

EventLog::~EventLog() {
  if (owned_ && file_ != nullptr) std::fclose(file_);
}

bool EventLog::open(const std::string& path) {
  if (path == "-") {
    file_ = stdout;
    return true;
  }
  file_ = std::fopen(path.c_str(), "a");
  owned_ = file_ != nullptr;
  return owned_;
}

void EventLog::write(const Event& event) {
  if (file_ == nullptr) return;
  const Session& session = *event.session;
  nlohmann::json line = {{"event", kindName(event.kind)},
                         {"time", wallSeconds()},
                         {"board", formatMac(session.board)}};
  switch (event.kind) {
    case Event::Seen:
      line["model"] = session.model;
      line["architecture"] = session.architecture;
      line["min_version"] = session.minVersion;
      line["installer"] = session.installerVersion;
      line["interface"] = session.interface;
      break;
    case Event::Offered:
      line["files"] = session.files.size();
      break;
    case Event::FileStarted:
      line["file"] = event.file;
      line["size"] = event.size;
      break;
    case Event::FileDone:
      line["file"] = event.file;
      line["size"] = event.size;
      line["seconds"] = event.seconds;
      break;
    case Event::Finished:
      line["bytes"] = session.bytesSent;
      break;
    case Event::Failed:
      line["reason"] = event.reason;
      break;
  }
  // Board texts are whatever came off the wire: broken UTF-8 is replaced, never thrown at.
  const std::string text = line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  std::fprintf(file_, "%s\n", text.c_str());
  std::fflush(file_);
}

namespace {

std::string describeRaw(const Event& event) {
  const Session& session = *event.session;
  const std::string board = formatMac(session.board);
  switch (event.kind) {
    case Event::Seen:
      return board + " seen: model " + session.model + ", architecture " + session.architecture +
             ", accepts releases from " + session.minVersion;
    case Event::Offered:
      return board + " offered " + std::to_string(session.files.size()) + " files";
    case Event::FileStarted:
      return board + " sending " + event.file + " (" + std::to_string(event.size) + " bytes)";
    case Event::FileDone: {
      char rate[64];
      const double seconds = event.seconds > 0 ? event.seconds : 1e-6;
      std::snprintf(rate, sizeof rate, " in %.1f s, %s/s", event.seconds,
                    humanBytes(static_cast<double>(event.size) / seconds).c_str());
      return board + " sent " + event.file + rate;
    }
    case Event::Finished:
      return board + " finished";
    case Event::Failed:
      return board + " failed: " + event.reason;
  }
  return board;
}

}  // namespace

std::string describe(const Event& event) { return printable(describeRaw(event)); }

Display::Display(std::FILE* out, bool live) : out_(out), live_(live) {}

void Display::clearLive() {
  if (drawnLines_ > 0) std::fprintf(out_, "\x1b[%dA\x1b[J", drawnLines_);
  drawnLines_ = 0;
}

void Display::log(const Event& event) {
  if (event.kind == Event::Offered) return;  // the seen line says enough
  if (live_) clearLive();
  time_t now = ::time(nullptr);
  tm local{};
  ::localtime_r(&now, &local);
  char stamp[16];
  std::strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
  std::fprintf(out_, "%s %s\n", stamp, describe(event).c_str());
  std::fflush(out_);
  lastDraw_ = 0;
}

std::string Display::liveLine(const Session& session, std::int64_t now) const {
  char head[64];
  std::snprintf(head, sizeof head, "%s %-10.10s %-5.5s", formatMac(session.board).c_str(),
                printable(session.model).c_str(), printable(session.architecture).c_str());
  const char* state = nullptr;
  switch (session.phase) {
    case Phase::Offered:
      state = "offered";
      break;
    case Phase::Confirmed:
      state = "preparing the flash";
      break;
    case Phase::Started:
      if (session.announcePending) state = "between files";
      break;
    case Phase::ListDone:
      state = "installing";
      break;
    case Phase::Finished:
      state = "finished";
      break;
    case Phase::Failed:
      state = "failed";
      break;
  }
  if (state != nullptr) return std::string(head) + " " + state;
  const double elapsed = static_cast<double>(now - session.fileStarted) / 1e6;
  const double rate = elapsed > 0 ? static_cast<double>(session.offset) / elapsed : 0;
  constexpr int kBar = 16;
  const std::int64_t filled =
      session.fileSize > 0 ? session.offset * kBar / session.fileSize : kBar;
  std::string bar(static_cast<std::size_t>(filled), '#');
  bar.resize(kBar, '.');
  char text[256];
  std::snprintf(text, sizeof text, "%s %-16.16s %9s of %-9s %9s/s [%s]", head,
                session.fileName.c_str(), humanBytes(static_cast<double>(session.offset)).c_str(),
                humanBytes(static_cast<double>(session.fileSize)).c_str(), humanBytes(rate).c_str(),
                bar.c_str());
  return text;
}

void Display::refresh(const Server& server, std::int64_t now, bool force) {
  if (!live_) return;
  if (!force && now - lastDraw_ < 250'000) return;
  lastDraw_ = now;
  clearLive();
  // A line that wrapped would take two rows and upset the redraw: cut to the width.
  winsize size{};
  const std::size_t columns =
      ::ioctl(::fileno(out_), TIOCGWINSZ, &size) == 0 && size.ws_col > 1 ? size.ws_col - 1u : 200u;
  for (const auto& [mac, session] : server.sessions()) {
    std::fprintf(out_, "%s\n", liveLine(session, now).substr(0, columns).c_str());
    ++drawnLines_;
  }
  std::fflush(out_);
}

void Display::close(const Server& server, std::int64_t now) {
  refresh(server, now, true);
  drawnLines_ = 0;
}

}  // namespace vl::tarnwick
