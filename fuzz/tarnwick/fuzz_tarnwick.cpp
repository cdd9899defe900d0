// Any sequence of frames from a few boards, on two interfaces, at any pace: every answer
// tarnwick gives is addressed to the asking board and is a protocol text, the announce
// of a file chosen for that board, or the bytes of that file at the session's offset.
// Events go through the event log and the live display as with --events.
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/common/board_root.h"
#include "streams/stream.h"
#include "tools/tarnwick/output.h"
#include "tools/tarnwick/server.h"

namespace {

using vl::tarnwick::ServedFile;
using vl::tarnwick::Session;

// Three boards, then the two interfaces, then no address.
const vl::MacAddress kMacs[] = {{2, 0, 0, 0, 0, 1}, {2, 0, 0, 0, 0, 2}, {2, 0, 0, 0, 0, 3},
                                {2, 0, 0, 0, 0, 8}, {2, 0, 0, 0, 0, 9}, {}};
const char* kWords[] = {"DSCV\n", "YACK\n", "STRT", "RETR", "WTRM", ""};
vl::tarnwick::Catalog catalog;

bool isChosenFile(const Session& s, std::string_view payload) {
  return std::any_of(s.files.begin(), s.files.end(), [&](std::size_t index) {
    const ServedFile& f = catalog.files().at(index);
    if (payload == "FILE\n" + f.name + "\n" + std::to_string(f.size) + "\n") return true;
    std::string bytes(payload.size(), '\0');
    const std::int64_t from = s.offset - static_cast<std::int64_t>(payload.size());
    return f.name == s.fileName && from >= 0 &&
           ::pread(f.fd, bytes.data(), bytes.size(), from) == static_cast<ssize_t>(bytes.size()) &&
           bytes == payload;
  });
}

void checkAnswer(const Session& s) {
  const std::string_view payload(reinterpret_cast<const char*>(vl::framePayload(s.answer)),
                                 vl::frameLength(s.answer));
  const vl::MacAddress from = vl::frameSender(s.answer);
  if (s.answerSize != vl::kFrameHeaderSize + payload.size() ||
      vl::frameReceiver(s.answer) != s.board || (from != kMacs[3] && from != kMacs[4])) {
    std::abort();
  }
  if (payload != "OFFR\ntarnwick\nkeep\n" && payload != "OK\n" && payload != "END\n" &&
      payload != "TERM\n" && !isChosenFile(s, payload)) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  vl::fuzzing::enterBoardRoot(*argc, *argv);  // its "/ram" holds the served scripts
  std::vector<std::string> paths;
  for (std::size_t size : {9000, 3, 0}) {
    paths.push_back("/ram/s" + std::to_string(size) + ".scr");
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + i % 23);
    vl::fuzzing::writeFile(paths.back(), text);
  }
  paths.push_back(VL_SOURCE_DIR "/fuzz/corpus/fuzz_package/unsigned.vpk");  // for "mips"
  std::string error;
  if (!catalog.load(paths, error)) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 8192) return 0;
  static std::FILE* devNull = std::fopen("/dev/null", "w");
  static vl::tarnwick::EventLog events;
  static const bool opened = events.open("/dev/null");
  if (!opened) std::abort();
  vl::tarnwick::Display display(devNull, true);
  FuzzedDataProvider input(data, size);
  vl::tarnwick::ServerOptions options;
  options.keep = true;
  options.filterArchitecture = input.ConsumeBool();
  vl::tarnwick::Server server(catalog, options, [&](const vl::tarnwick::Event& event) {
    events.write(event);
    display.log(event);
  });
  std::int64_t now = 1;
  for (int frames = 0; frames < 400 && input.remaining_bytes() > 0; ++frames) {
    const vl::MacAddress& board = kMacs[input.ConsumeIntegralInRange(0, 2)];
    const std::size_t interface = input.ConsumeIntegralInRange(0, 1);
    const auto found = server.sessions().find(board);
    // Mostly the number the server expects next, so that sessions get somewhere.
    const bool known = found != server.sessions().end() && found->second.answered;
    const auto sequence = static_cast<std::uint16_t>((known ? found->second.lastSequence : 0) +
                                                     input.ConsumeIntegralInRange(0, 2));
    const std::string payload = (kWords[input.ConsumeIntegralInRange(0, 5)] +
                                 input.ConsumeRandomLengthString(vl::kMaxPayload))
                                    .substr(0, vl::kMaxPayload);
    vl::FrameBuffer frame{};
    std::memcpy(vl::framePayload(frame), payload.data(), payload.size());
    vl::writeFrameHeader(frame, board, kMacs[input.ConsumeIntegralInRange(3, 5)],
                         static_cast<std::uint16_t>(payload.size()), sequence,
                         input.ConsumeIntegral<std::uint16_t>());
    now += input.ConsumeIntegralInRange<std::int64_t>(0, 400'000'000);
    const int length = static_cast<int>(vl::kFrameHeaderSize + payload.size());
    const Session* answer = server.handle(interface, kMacs[3 + interface], frame,
                                          length - input.ConsumeIntegralInRange(0, 1), now);
    if (answer != nullptr) checkAnswer(*answer);
    server.expire(now);
    display.refresh(server, now, true);
  }
  return 0;
}
