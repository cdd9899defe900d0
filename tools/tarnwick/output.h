// What tarnwick tells its user: an event log of JSON lines for programs, and either one
// live line per board (on a terminal) or plain log lines.
#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <string_view>

#include "tools/tarnwick/server.h"

namespace vl::tarnwick {

class EventLog {
 public:
  EventLog() = default;
  EventLog(const EventLog&) = delete;
  EventLog& operator=(const EventLog&) = delete;
  ~EventLog();

  // "-" is standard output. False when the file can't be opened.
  [[nodiscard]] bool open(const std::string& path);
  void write(const Event& event);

 private:
  std::FILE* file_ = nullptr;
  bool owned_ = false;
};

class Display {
 public:
  Display(std::FILE* out, bool live);

  void log(const Event& event);
  // Redraws the live lines (at most every quarter second unless forced).
  void refresh(const Server& server, std::int64_t now, bool force = false);
  // Leaves the live lines on screen as they are.
  void close(const Server& server, std::int64_t now);

 private:
  void clearLive();
  std::string liveLine(const Session& session, std::int64_t now) const;

  std::FILE* out_;
  bool live_;
  int drawnLines_ = 0;
  std::int64_t lastDraw_ = 0;
};

// One line for the operator; texts from the board are shown through printable().
std::string describe(const Event& event);

// The text with control bytes, the backslash and broken UTF-8 shown as \xNN.
std::string printable(std::string_view text);

}  // namespace vl::tarnwick
