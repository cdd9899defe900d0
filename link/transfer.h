// Commands after the handshake: start, pull every file in chunks, wait for the end.
#pragma once

#include <cstdint>

#include "link/server_link.h"

namespace vl {

// What the answer to a RETR for the next file said.
enum class NextFile {
  File,         // a file was announced: the link's FileStream holds its name and size
  EndOfList,    // the server answered, and the answer announces no file
  LinkFailure,  // no accepted answer in all tries: the server is lost, the list is not over
};

inline constexpr std::int64_t kStartTimeout = 1000000;
inline constexpr int kStartTries = 5;
inline constexpr std::int64_t kNextFileTimeout = 20000;
inline constexpr std::int64_t kDataTimeout = 30000;
inline constexpr int kTransferTries = 300;

// True when the server answered STRT.
[[nodiscard]] bool startInstall(ServerLink& link);

[[nodiscard]] NextFile requestNextFile(ServerLink& link);

// Bytes copied (1 or more), 0 at the end of the file, -1 when the link failed.
[[nodiscard]] int readFileData(FileStream& stream, std::uint8_t* destination, int maximum);

// Resends WTRM every second until the server answers TERM or the console (descriptor 0)
// has input, which is left unread.
void awaitTermination(ServerLink& link);

}  // namespace vl
