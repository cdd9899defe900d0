// The library's own log output, through the sink that setLogSink installed.
#pragma once

#include <string_view>

namespace vl {

// Writes text (whole lines with their "\n") to the current log sink.
void writeLog(std::string_view text);

}  // namespace vl
