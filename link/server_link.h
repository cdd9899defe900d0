// The link to the chosen install server: channels, numbering, the current file and the
// discovery handshake that fills it.
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "link/channel.h"
#include "link/frame.h"
#include "packages/version.h"

namespace vl {

// The receiver of one announced file (or of the answer that ends the list).
struct FileStream {
  static constexpr std::size_t kNameSize = 80;

  std::string name;  // at most kNameSize bytes
  std::int32_t size = 0;
  std::int32_t buffered = 0;
  std::int32_t consumed = 0;
  FrameBuffer answer{};
  NetChannel* channel = nullptr;  // not owned
  LinkState* state = nullptr;     // not owned
};

struct ServerLink {
  ChannelList channels;
  std::int32_t chosen = -1;
  LinkState state;
  std::unique_ptr<FileStream> fileStream;
  std::uint32_t cycleCounter = 0;
  timeval cycleTimeout{};

  NetChannel& chosenChannel() { return *channels[static_cast<std::size_t>(chosen)]; }
};

// The installer's own release, reported in line 7 of the discovery frame.
inline constexpr std::string_view kInstallerRelease = "6.49.10";
inline constexpr int kCyclesPerRebuild = 60;
inline constexpr std::size_t kMaxOfferText = 512;

// Broadcasts DSCV on every channel once a second until a server offers and confirms.
// `minVersion` is asked every cycle for line 6 (the lowest release the board accepts).
// Returns true, only once a server has accepted the board: `chosen`, `state` and `keep`
// then describe it.
bool discoverServer(ServerLink& link, std::string_view architecture, std::string_view text2,
                    std::string_view text3, std::string_view model,
                    const std::function<Version()>& minVersion, bool& keep);

// The DSCV payload with its closing zero byte, cut so that it fits one frame.
std::string discoveryPayload(std::string_view architecture, std::string_view text2,
                             std::string_view text3, std::string_view model, Version minVersion);

}  // namespace vl
