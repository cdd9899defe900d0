// tarnwick: the install server for Pellorin boards on the local Ethernet segment.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>
#include <vector>

#include "link/frame.h"
#include "tools/tarnwick/catalog.h"
#include "tools/tarnwick/net.h"
#include "tools/tarnwick/output.h"
#include "tools/tarnwick/server.h"

namespace {

constexpr const char* kVersion = "tarnwick " VL_VERSION;
// After the last counted board, how long the server stays while nothing asks for
// anything: a board whose TERM was lost repeats WTRM every second.
constexpr std::int64_t kLingerMicros = 2'500'000;

volatile sig_atomic_t stopRequested = 0;
void requestStop(int) { stopRequested = 1; }

struct Settings {
  std::vector<std::string> files;
  std::vector<std::string> interfaces;
  std::vector<std::string> only;
  bool keep = false;
  bool anyArchitecture = false;
  int boards = 0;
  std::string events;
  double idleSeconds = 300;
  std::string offerText = kVersion;
};

bool parseMacText(const std::string& text, vl::MacAddress& mac) {
  unsigned bytes[6];
  char extra = 0;
  if (std::sscanf(text.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x%c", &bytes[0], &bytes[1], &bytes[2],
                  &bytes[3], &bytes[4], &bytes[5], &extra) != 6) {
    return false;
  }
  for (std::size_t i = 0; i < 6; ++i) mac[i] = static_cast<std::uint8_t>(bytes[i]);
  return true;
}

// What the loop serves with; the interfaces are closed when it goes.
struct Service {
  vl::tarnwick::Catalog catalog;
  vl::tarnwick::ServerOptions options;
  std::vector<vl::tarnwick::ServerInterface> interfaces;
  vl::tarnwick::EventLog events;

  ~Service() {
    for (auto& interface : interfaces) vl::tarnwick::closeInterface(interface);
  }
};

bool readOptions(const Settings& settings, vl::tarnwick::ServerOptions& options) {
  options.keep = settings.keep;
  options.filterArchitecture = !settings.anyArchitecture;
  options.offerText = settings.offerText;
  options.idleMicros = static_cast<std::int64_t>(settings.idleSeconds * 1e6);
  for (const std::string& text : settings.only) {
    vl::MacAddress mac{};
    if (!parseMacText(text, mac)) {
      std::fprintf(stderr, "tarnwick: '%s' is not a hardware address (like 02:00:00:00:00:01)\n",
                   text.c_str());
      return false;
    }
    options.only.insert(mac);
  }
  return true;
}

bool openInterfaces(const Settings& settings, Service& service) {
  std::vector<std::string> names = settings.interfaces;
  if (names.empty()) names = vl::tarnwick::ethernetInterfaces();
  if (names.empty()) {
    std::fprintf(stderr, "tarnwick: no Ethernet interface found; name one with --interface\n");
    return false;
  }
  for (const std::string& name : names) {
    vl::tarnwick::ServerInterface interface;
    std::string error;
    if (!vl::tarnwick::openInterface(name, interface, error)) {
      std::fprintf(stderr, "tarnwick: %s\n", error.c_str());
      return false;
    }
    // Still works, but every board on a bench then takes in every other board's data.
    if (interface.packetSocket < 0) {
      std::fprintf(stderr, "tarnwick: %s: no packet socket (CAP_NET_RAW), answers are broadcast\n",
                   name.c_str());
    }
    service.interfaces.push_back(interface);
  }
  return true;
}

bool setUp(const Settings& settings, Service& service) {
  std::string error;
  if (!service.catalog.load(settings.files, error)) {
    std::fprintf(stderr, "tarnwick: %s\n", error.c_str());
    return false;
  }
  if (!readOptions(settings, service.options) || !openInterfaces(settings, service)) return false;
  if (!settings.events.empty() && !service.events.open(settings.events)) {
    std::fprintf(stderr, "tarnwick: can't write events to %s\n", settings.events.c_str());
    return false;
  }
  return true;
}

void printBanner(const Service& service, std::FILE* out) {
  std::fprintf(out, "tarnwick: serving %zu files on", service.catalog.files().size());
  for (const auto& interface : service.interfaces) {
    std::fprintf(out, " %s (%s)", interface.name.c_str(), vl::formatMac(interface.mac).c_str());
  }
  std::fprintf(out, "\n");
}

// Takes in what is waiting on one interface (a bounded burst, so no interface starves
// the others) and sends the answers. True when anything was answered.
bool answerWaiting(vl::tarnwick::Server& server, vl::tarnwick::ServerInterface& interface,
                   std::size_t index, vl::FrameBuffer& frame) {
  bool answered = false;
  for (int burst = 0; burst < 64; ++burst) {
    sockaddr_in from{};
    socklen_t size = sizeof from;
    const ssize_t got = ::recvfrom(interface.socket, frame.data(), frame.size(), 0,
                                   reinterpret_cast<sockaddr*>(&from), &size);
    if (got < 0) break;
    if (from.sin_port != htons(vl::kLinkPort)) continue;
    const vl::tarnwick::Session* session =
        server.handle(index, interface.mac, frame, static_cast<int>(got), vl::nowMicros());
    if (session == nullptr) continue;
    // Offers go to the whole segment, like the discovery they answer.
    if (session->phase == vl::tarnwick::Phase::Offered) {
      (void)vl::tarnwick::sendBroadcast(interface, session->answer.data(), session->answerSize);
    } else {
      (void)vl::tarnwick::sendToBoard(interface, session->board, session->answer.data(),
                                      session->answerSize);
    }
    answered = true;
  }
  return answered;
}

// Serves until stopped, or until the counted boards are done and nothing more is asked.
void runLoop(const Settings& settings, Service& service, vl::tarnwick::Server& server,
             vl::tarnwick::Display& display) {
  std::vector<pollfd> polls;
  for (const auto& interface : service.interfaces) polls.push_back({interface.socket, POLLIN, 0});
  vl::FrameBuffer frame;
  std::int64_t doneAt = 0;
  std::int64_t lastChecks = 0;
  while (!stopRequested) {
    const std::int64_t now = vl::nowMicros();
    const bool counted =
        settings.boards > 0 && server.finished() + server.failed() >= settings.boards;
    if (counted && doneAt == 0) doneAt = now;
    if (doneAt != 0 && now - doneAt > kLingerMicros) break;
    const int ready = ::poll(polls.data(), polls.size(), 100);
    if (ready < 0 && errno != EINTR) break;
    for (std::size_t i = 0; i < polls.size(); ++i) {
      if ((polls[i].revents & POLLIN) == 0) continue;
      if (answerWaiting(server, service.interfaces[i], i, frame) && doneAt != 0) {
        doneAt = vl::nowMicros();
      }
    }
    const std::int64_t after = vl::nowMicros();
    if (after - lastChecks >= 100'000) {
      server.expire(after);
      lastChecks = after;
    }
    display.refresh(server, after);
  }
  display.close(server, vl::nowMicros());
}

int serve(const Settings& settings) {
  Service service;
  if (!setUp(settings, service)) return 2;
  const bool live = ::isatty(STDOUT_FILENO) != 0 && settings.events != "-";
  vl::tarnwick::Display display(settings.events == "-" ? stderr : stdout, live);
  vl::tarnwick::Server server(service.catalog, service.options,
                              [&](const vl::tarnwick::Event& event) {
                                service.events.write(event);
                                display.log(event);
                              });
  printBanner(service, live ? stdout : stderr);
  runLoop(settings, service, server, display);
  if (server.failed() > 0) return 1;
  if (settings.boards > 0 && server.finished() < settings.boards) return 1;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  CLI::App app{
      "Install server for Pellorin boards: answers the boards' discovery on the local "
      "Ethernet segment and sends them configuration scripts (*.scr) and package files, "
      "in the order given."};
  app.set_version_flag("-V,--version", kVersion);
  app.add_option("files", settings.files, "Scripts and package files to send, in order")
      ->check(CLI::ExistingFile);
  app.add_option("-i,--interface", settings.interfaces,
                 "Serve on this interface (repeatable; default: every interface with a "
                 "hardware address)")
      ->allow_extra_args(false);
  app.add_flag("-k,--keep", settings.keep, "Ask the boards to keep their configuration");
  app.add_flag("-a,--any-architecture", settings.anyArchitecture,
               "Send every package to every board, whatever architecture it reports");
  app.add_option("-m,--mac", settings.only,
                 "Serve only the board with this hardware address (repeatable)")
      ->allow_extra_args(false);
  app.add_option("-n,--boards", settings.boards,
                 "Exit after this many boards have finished or failed; the exit status is 0 "
                 "only when all of them finished")
      ->check(CLI::NonNegativeNumber);
  app.add_option("-e,--events", settings.events,
                 "Append one JSON object per event to this file ('-': standard output)");
  app.add_option("--idle", settings.idleSeconds,
                 "Seconds of silence after which a board in mid-installation counts as failed")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  app.add_option("--offer-text", settings.offerText, "Text sent to the boards with each offer")
      ->check([](const std::string& text) {
        return text.size() <= 512 && text.find('\n') == std::string::npos
                   ? std::string()
                   : std::string("at most 512 bytes, one line");
      });
  CLI11_PARSE(app, argc, argv);

  struct sigaction action {};
  action.sa_handler = requestStop;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  return serve(settings);
}
