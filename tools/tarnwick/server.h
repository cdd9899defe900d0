// The install server's side of the protocol: one session per board, keyed by the
// board's hardware address, each with its own numbering, file list and position.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "link/frame.h"
#include "tools/tarnwick/catalog.h"

namespace vl::tarnwick {

struct ServerOptions {
  bool keep = false;
  bool filterArchitecture = true;
  std::set<MacAddress> only;  // empty: every board
  std::string offerText = "tarnwick";
  std::int64_t idleMicros = 300'000'000;  // a silent board in mid-installation has failed
};

enum class Phase { Offered, Confirmed, Started, ListDone, Finished, Failed };

struct Session {
  MacAddress board{};
  std::size_t interface = 0;
  std::string model;
  std::string architecture;
  std::string minVersion;
  std::string installerVersion;
  Phase phase = Phase::Offered;
  std::vector<std::size_t> files;  // catalog indexes
  std::size_t fileIndex = 0;       // the file being sent, or next to announce
  bool announcePending = true;     // the next RETR asks for a file, not for data
  std::string fileName;            // the file being sent
  std::int64_t fileSize = 0;
  std::int64_t offset = 0;
  std::int64_t fileStarted = 0;
  std::int64_t lastHeard = 0;
  std::int64_t restartHeard = 0;   // a discovery frame in mid-session; 0: none since a request
  std::int64_t endedAt = 0;        // finished or failed
  std::uint64_t evictable = 0;     // its entry in the eviction queue; 0: being served
  std::uint16_t lastSequence = 0;  // of the last request answered
  bool answered = false;
  std::size_t answerSize = 0;
  FrameBuffer answer{};
  std::uint64_t bytesSent = 0;  // file data of this session
};

// What happened, for the event log and the display.
struct Event {
  enum Kind { Seen, Offered, FileStarted, FileDone, Finished, Failed } kind;
  const Session* session;
  std::string file;
  std::int64_t size = 0;
  double seconds = 0;
  std::string reason;
};

class Server {
 public:
  using Listener = std::function<void(const Event&)>;

  Server(const Catalog& catalog, ServerOptions options, Listener listener);

  // Handles one datagram (from UDP port 5000) received on interface `interface`, whose
  // hardware address is `interfaceMac`. Returns the answer to broadcast on that
  // interface, or nullptr when the datagram is dropped.
  const Session* handle(std::size_t interface, const MacAddress& interfaceMac,
                        const FrameBuffer& frame, int length, std::int64_t now);

  // Fails the sessions that went silent in mid-installation; forgets stale offers and
  // ended sessions.
  void expire(std::int64_t now);

  // Sessions kept at most: offers and ended sessions make way for new boards.
  static constexpr std::size_t kMaxSessions = 1024;

  const std::map<MacAddress, Session>& sessions() const { return sessions_; }
  int finished() const { return finished_; }
  int failed() const { return failed_; }

 private:
  const Session* discover(std::size_t interface, const MacAddress& interfaceMac,
                          const FrameBuffer& frame, std::int64_t now);
  bool startsOver(Session& session, std::int64_t now);
  bool makeRoom();
  void markEvictable(Session& session);
  bool answerRequest(Session& session, const FrameBuffer& frame, std::int64_t now);
  bool answerRetrieve(Session& session, std::int64_t now);
  void setAnswer(Session& session, const std::uint8_t* payload, std::size_t length);
  void fail(Session& session, const std::string& reason, std::int64_t now);
  void emit(Event::Kind kind, const Session& session, std::string file = {}, std::int64_t size = 0,
            double seconds = 0, std::string reason = {});

  const Catalog& catalog_;
  ServerOptions options_;
  Listener listener_;
  std::map<MacAddress, Session> sessions_;
  // Offers and ended sessions, oldest first; entries whose session moved on are skipped.
  std::deque<std::pair<MacAddress, std::uint64_t>> evictable_;
  std::uint64_t evictions_ = 0;
  int finished_ = 0;
  int failed_ = 0;
  MacAddress answerFrom_{};  // interface of the request being answered
  std::uint16_t answerSequence_ = 0;
};

}  // namespace vl::tarnwick
