#include "tools/tarnwick/server.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vl::tarnwick {
namespace {

constexpr std::int64_t kStaleOfferMicros = 120'000'000;
// A board in discovery broadcasts once a second; a second offer within half of that
// answers a copy, not a board that missed the first.
constexpr std::int64_t kOfferIntervalMicros = 500'000;
// A board whose TERM was lost repeats WTRM every second: it is answered for this long.
constexpr std::int64_t kEndedKeepMicros = 30'000'000;

bool payloadIs(const FrameBuffer& frame, const char* word) {
  return frameLength(frame) >= 4 && std::memcmp(framePayload(frame), word, 4) == 0;
}

// Lines of a text payload; a line without its line feed is still taken.
std::vector<std::string> payloadLines(const FrameBuffer& frame) {
  const char* text = reinterpret_cast<const char*>(framePayload(frame));
  std::string_view payload(text, frameLength(frame));
  const std::size_t zero = payload.find('\0');
  if (zero != std::string_view::npos) payload = payload.substr(0, zero);
  std::vector<std::string> lines;
  while (!payload.empty()) {
    const std::size_t end = payload.find('\n');
    lines.emplace_back(payload.substr(0, end));
    if (end == std::string_view::npos) break;
    payload.remove_prefix(end + 1);
  }
  return lines;
}

std::string line(const std::vector<std::string>& lines, std::size_t index) {
  return index < lines.size() ? lines[index] : std::string();
}

}  // namespace

Server::Server(const Catalog& catalog, ServerOptions options, Listener listener)
    : catalog_(catalog), options_(std::move(options)), listener_(std::move(listener)) {}

void Server::emit(Event::Kind kind, const Session& session, std::string file, std::int64_t size,
                  double seconds, std::string reason) {
  if (!listener_) return;
  listener_(Event{kind, &session, std::move(file), size, seconds, std::move(reason)});
}

const Session* Server::handle(std::size_t interface, const MacAddress& interfaceMac,
                              const FrameBuffer& frame, int length, std::int64_t now) {
  if (length < static_cast<int>(kFrameHeaderSize)) return nullptr;
  if (length - static_cast<int>(kFrameHeaderSize) != frameLength(frame)) return nullptr;
  const MacAddress sender = frameSender(frame);
  const MacAddress receiver = frameReceiver(frame);
  if (sender == interfaceMac || isZeroMac(sender)) return nullptr;
  if (!options_.only.empty() && options_.only.count(sender) == 0) return nullptr;
  answerFrom_ = interfaceMac;
  if (isZeroMac(receiver)) {
    return payloadIs(frame, "DSCV") ? discover(interface, interfaceMac, frame, now) : nullptr;
  }
  if (receiver != interfaceMac) return nullptr;
  auto found = sessions_.find(sender);
  if (found == sessions_.end()) return nullptr;
  Session& session = found->second;
  const std::uint16_t sequence = frameSequence(frame);
  if (session.answered && sequence == session.lastSequence) {
    session.lastHeard = now;
    session.restartHeard = 0;
    return &session;  // a repeated request gets exactly the answer it got before
  }
  const auto expected = static_cast<std::uint16_t>(session.answered ? session.lastSequence + 1 : 1);
  if (sequence != expected) return nullptr;
  answerSequence_ = sequence;
  if (!answerRequest(session, frame, now)) return nullptr;
  session.interface = interface;
  session.lastHeard = now;
  session.restartHeard = 0;
  session.lastSequence = sequence;
  session.answered = true;
  return &session;
}

const Session* Server::discover(std::size_t interface, const MacAddress& interfaceMac,
                                const FrameBuffer& frame, std::int64_t now) {
  const MacAddress board = frameSender(frame);
  const auto found = sessions_.find(board);
  if (found != sessions_.end() ? !startsOver(found->second, now) : !makeRoom()) return nullptr;
  const std::vector<std::string> lines = payloadLines(frame);
  Session& session = sessions_[board];
  const bool fresh = session.phase != Phase::Offered || session.lastHeard == 0;
  if (session.phase == Phase::Started || session.phase == Phase::ListDone) {
    // Reported, not counted: the board is still trying and may yet finish.
    emit(Event::Failed, session, {}, 0, 0, "restarted discovery");
  }
  session = Session{};
  session.board = board;
  session.interface = interface;
  session.model = line(lines, 3);
  session.architecture = line(lines, 4);
  session.minVersion = line(lines, 5);
  session.installerVersion = line(lines, 6);
  session.files = catalog_.filesFor(session.architecture, options_.filterArchitecture);
  session.lastHeard = now;
  markEvictable(session);
  std::string offer = "OFFR\n" + options_.offerText.substr(0, 512) + "\n";
  if (options_.keep) offer += "keep\n";
  answerFrom_ = interfaceMac;
  answerSequence_ = 0;  // the offer is numbered 1 and acknowledges nothing
  setAnswer(session, reinterpret_cast<const std::uint8_t*>(offer.data()), offer.size());
  if (fresh) {
    emit(Event::Seen, session);
    emit(Event::Offered, session);
  }
  return &session;
}

// A board past the offer that broadcasts a discovery frame has either started over, or the
// frame is an old copy the network delivered late or twice; a quiet board (formatting,
// committing a package) looks the same. A board that started over asks nothing else and
// repeats its discovery a second later, so only a second discovery frame, at least half
// a second after the first with no request in between, ends the session.
bool Server::startsOver(Session& session, std::int64_t now) {
  if (session.phase == Phase::Offered) return now - session.lastHeard >= kOfferIntervalMicros;
  if (session.restartHeard == 0) {
    session.restartHeard = now;
    return false;
  }
  return now - session.restartHeard >= kOfferIntervalMicros;
}

// Anyone on the segment can send discovery frames from made-up addresses: the table is
// bounded, and a new board takes the place of the oldest offer or ended session, never
// of a board being served.
bool Server::makeRoom() {
  if (sessions_.size() < kMaxSessions) return true;
  while (!evictable_.empty()) {
    const auto [board, entry] = evictable_.front();
    evictable_.pop_front();
    const auto found = sessions_.find(board);
    if (found != sessions_.end() && found->second.evictable == entry) {
      sessions_.erase(found);
      return true;
    }
  }
  return false;
}

void Server::markEvictable(Session& session) {
  session.evictable = ++evictions_;
  evictable_.emplace_back(session.board, session.evictable);
}

void Server::setAnswer(Session& session, const std::uint8_t* payload, std::size_t length) {
  clearFrame(session.answer);
  std::memcpy(framePayload(session.answer), payload, length);
  const auto sequence = static_cast<std::uint16_t>(answerSequence_ + 1);
  writeFrameHeader(session.answer, answerFrom_, session.board, static_cast<std::uint16_t>(length),
                   sequence, answerSequence_);
  session.answerSize = kFrameHeaderSize + length;
}

bool Server::answerRequest(Session& session, const FrameBuffer& frame, std::int64_t now) {
  static const std::uint8_t kAck[] = {'O', 'K', '\n'};
  static const std::uint8_t kTerm[] = {'T', 'E', 'R', 'M', '\n'};
  switch (session.phase) {
    case Phase::Offered:
      if (!payloadIs(frame, "YACK")) return false;
      session.phase = Phase::Confirmed;
      session.evictable = 0;
      setAnswer(session, kAck, sizeof kAck);
      return true;
    case Phase::Confirmed:
      if (!payloadIs(frame, "STRT")) return false;
      session.phase = Phase::Started;
      setAnswer(session, kAck, sizeof kAck);
      return true;
    case Phase::Started:
      return payloadIs(frame, "RETR") && answerRetrieve(session, now);
    case Phase::ListDone:
      if (!payloadIs(frame, "WTRM")) return false;
      session.phase = Phase::Finished;
      session.endedAt = now;
      markEvictable(session);
      setAnswer(session, kTerm, sizeof kTerm);
      ++finished_;
      emit(Event::Finished, session);
      return true;
    case Phase::Finished:
    case Phase::Failed:
      return false;
  }
  return false;
}

bool Server::answerRetrieve(Session& session, std::int64_t now) {
  if (session.announcePending) {
    if (session.fileIndex >= session.files.size()) {
      static const std::uint8_t kEnd[] = {'E', 'N', 'D', '\n'};
      session.phase = Phase::ListDone;
      setAnswer(session, kEnd, sizeof kEnd);
      return true;
    }
    const ServedFile& file = catalog_.files()[session.files[session.fileIndex]];
    const std::string header = "FILE\n" + file.name + "\n" + std::to_string(file.size) + "\n";
    setAnswer(session, reinterpret_cast<const std::uint8_t*>(header.data()), header.size());
    session.announcePending = false;
    session.fileName = file.name;
    session.fileSize = file.size;
    session.offset = 0;
    session.fileStarted = now;
    emit(Event::FileStarted, session, file.name, file.size);
    return true;
  }
  const ServedFile& file = catalog_.files()[session.files[session.fileIndex]];
  const std::int64_t left = file.size - session.offset;
  std::uint8_t chunk[kMaxPayload];
  const auto want = static_cast<std::size_t>(std::min<std::int64_t>(left, kMaxPayload));
  std::size_t got = 0;
  while (got < want) {
    const ssize_t n =
        ::pread(file.fd, chunk + got, want - got, session.offset + static_cast<std::int64_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got < want) {
    // The file shrank since it was checked: rather no file than a cut one.
    fail(session, file.name + " could not be read whole", now);
    return false;
  }
  setAnswer(session, chunk, got);
  session.offset += static_cast<std::int64_t>(got);
  session.bytesSent += got;
  if (got == 0) {
    emit(Event::FileDone, session, file.name, file.size,
         static_cast<double>(now - session.fileStarted) / 1e6);
    session.fileIndex += 1;
    session.announcePending = true;
  }
  return true;
}

void Server::fail(Session& session, const std::string& reason, std::int64_t now) {
  session.phase = Phase::Failed;
  session.endedAt = now;
  markEvictable(session);
  ++failed_;
  emit(Event::Failed, session, {}, 0, 0, reason);
}

void Server::expire(std::int64_t now) {
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    Session& session = it->second;
    const std::int64_t silent = now - session.lastHeard;
    const bool busy = session.phase == Phase::Confirmed || session.phase == Phase::Started ||
                      session.phase == Phase::ListDone;
    if (busy && silent > options_.idleMicros) fail(session, "no request for too long", now);
    const bool ended = session.phase == Phase::Finished || session.phase == Phase::Failed;
    if ((session.phase == Phase::Offered && silent > kStaleOfferMicros) ||
        (ended && now - session.endedAt > kEndedKeepMicros)) {
      it = sessions_.erase(it);
      continue;
    }
    ++it;
  }
  if (evictable_.size() > 2 * kMaxSessions) {
    std::erase_if(evictable_, [this](const auto& entry) {
      const auto found = sessions_.find(entry.first);
      return found == sessions_.end() || found->second.evictable != entry.second;
    });
  }
}

}  // namespace vl::tarnwick
