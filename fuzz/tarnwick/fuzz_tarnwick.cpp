// Any sequence of frames from a few boards, on two interfaces, at any pace: every answer
// tarnwick gives is addressed to the asking board and is a protocol text, the announce
// of a file chosen for that board, or the bytes of that file at the session's offset.
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "streams/stream.h"
#include "tools/tarnwick/output.h"
#include "tools/tarnwick/server.h"

namespace {

using vl::MacAddress;
using vl::tarnwick::Session;

const MacAddress kMacs[] = {{2, 0, 0, 0, 0, 1},
                            {2, 0, 0, 0, 0, 2},
                            {2, 0, 0, 0, 0, 9},
                            {2, 0, 0, 0, 0, 8},
                            {0, 0, 0, 0, 0, 0}};  // boards, interfaces
const char* kWords[] = {"DSCV\n", "YACK\n", "STRT", "RETR", "WTRM", ""};
std::map<std::string, std::string> contents;  // by served name

// Scripts written once and served from their open descriptors; the files go at once.
const vl::tarnwick::Catalog& catalog() {
  static vl::tarnwick::Catalog served;
  static const bool loaded = [] {
    char dir[] = "/tmp/vl-fuzz-tarnwick.XXXXXX";
    if (::mkdtemp(dir) == nullptr) std::abort();
    std::vector<std::string> paths;
    for (std::size_t size : {std::size_t{9000}, std::size_t{3}, std::size_t{0}}) {
      std::string text(size, '\0');
      for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + i % 23);
      const std::string name = "s" + std::to_string(size) + ".scr";
      paths.push_back(std::string(dir) + "/" + name);
      vl::FdStream out = vl::FdStream::openWrite(paths.back(), O_CREAT | O_TRUNC, 0600);
      if (out.write(text.data(), text.size()) < 0 || !out.close()) std::abort();
      contents[name] = text;
    }
    paths.push_back(VL_SOURCE_DIR "/fuzz/corpus/fuzz_package/unsigned.vpk");
    std::string error;
    const bool ok = served.load(paths, error);
    for (std::size_t i = 0; i + 1 < paths.size(); ++i) (void)::unlink(paths[i].c_str());
    (void)::rmdir(dir);
    vl::FdStream in = vl::FdStream::openRead(paths.back());
    std::vector<std::uint8_t> bytes;
    if (!ok || !vl::readAll(in, bytes)) std::abort();
    contents["unsigned.vpk"].assign(bytes.begin(), bytes.end());
    return ok;
  }();
  (void)loaded;
  return served;
}

bool isChosenFileData(const Session& s, std::string_view payload) {
  const auto found = contents.find(s.fileName);
  if (found == contents.end() || s.offset < static_cast<std::int64_t>(payload.size())) return false;
  const auto from = static_cast<std::size_t>(s.offset) - payload.size();
  return std::string_view(found->second).substr(from, payload.size()) == payload;
}

bool isAnnounceOfChosenFile(const Session& s, std::string_view payload) {
  return std::any_of(s.files.begin(), s.files.end(), [&](std::size_t index) {
    const vl::tarnwick::ServedFile& f = catalog().files().at(index);
    return payload == "FILE\n" + f.name + "\n" + std::to_string(f.size) + "\n";
  });
}

void checkAnswer(const Session& s) {
  if (s.answerSize < vl::kFrameHeaderSize || s.answerSize > vl::kFrameSize) std::abort();
  if (vl::frameLength(s.answer) + vl::kFrameHeaderSize != s.answerSize) std::abort();
  if (vl::frameReceiver(s.answer) != s.board ||
      (vl::frameSender(s.answer) != kMacs[2] && vl::frameSender(s.answer) != kMacs[3])) {
    std::abort();
  }
  const std::string_view payload(reinterpret_cast<const char*>(vl::framePayload(s.answer)),
                                 vl::frameLength(s.answer));
  if (payload == "OFFR\ntarnwick\nkeep\n" || payload == "OK\n" || payload == "END\n" ||
      payload == "TERM\n" || isChosenFileData(s, payload) || isAnnounceOfChosenFile(s, payload)) {
    return;
  }
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 8192) return 0;
  static std::FILE* devNull = std::fopen("/dev/null", "w");
  static vl::tarnwick::EventLog events;
  static const bool opened = events.open("/dev/null");
  (void)opened;
  vl::tarnwick::Display display(devNull, true);
  vl::tarnwick::ServerOptions options;
  options.keep = true;
  FuzzedDataProvider input(data, size);
  options.filterArchitecture = input.ConsumeBool();
  vl::tarnwick::Server server(catalog(), options, [&](const vl::tarnwick::Event& event) {
    events.write(event);
    display.log(event);
  });
  std::int64_t now = 1;
  for (int frames = 0; frames < 400 && input.remaining_bytes() > 0; ++frames) {
    const MacAddress& board = kMacs[input.ConsumeIntegralInRange(0, 2)];
    const std::size_t interface = input.ConsumeIntegralInRange(0, 1);
    const MacAddress& receiver = kMacs[input.ConsumeIntegralInRange(2, 4)];
    const auto found = server.sessions().find(board);
    const bool known = found != server.sessions().end() && found->second.answered;
    auto sequence = static_cast<std::uint16_t>(known ? found->second.lastSequence + 1 : 1);
    sequence = static_cast<std::uint16_t>(sequence - input.ConsumeIntegralInRange(-1, 1));
    const std::string payload = kWords[input.ConsumeIntegralInRange(0, 5)] +
                                input.ConsumeRandomLengthString(vl::kMaxPayload);
    vl::FrameBuffer frame{};
    std::memcpy(vl::framePayload(frame), payload.data(), std::min(payload.size(), vl::kMaxPayload));
    const auto length = static_cast<std::uint16_t>(std::min(payload.size(), vl::kMaxPayload));
    vl::writeFrameHeader(frame, board, receiver, length, sequence,
                         input.ConsumeIntegral<std::uint16_t>());
    now += input.ConsumeIntegralInRange<std::int64_t>(0, 400'000'000);
    const int received =
        static_cast<int>(vl::kFrameHeaderSize + length) - input.ConsumeIntegralInRange(0, 1);
    const Session* answer = server.handle(interface, kMacs[2 + interface], frame, received, now);
    if (answer != nullptr) checkAnswer(*answer);
    server.expire(now);
    display.refresh(server, now, true);
  }
  return 0;
}
