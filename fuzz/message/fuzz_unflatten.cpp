// Any input either is refused or parses, in each mode, to a message whose flat encoding
// parses back to the same encoding. The dump of whatever parsed must not fail either.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "message/message.h"

namespace {

void checkStable(const vl::message& msg) {
  vl::Bytes first;
  if (!vl::flatten(msg, first)) std::abort();  // parsed fields always fit the encoding
  const std::optional<std::uint32_t> size = vl::flatSize(msg);
  if (!size || *size != first.size()) std::abort();
  vl::message again;
  if (!vl::unflatten(again, first) || again.fields() != msg.fields()) std::abort();
  vl::Bytes second;
  if (!vl::flatten(again, second) || second != first) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 4096) return 0;
  static const auto previous = vl::setLogSink([](std::string_view) {});  // quiet
  (void)previous;
  for (int mode : {vl::kUnflattenNormal, vl::kUnflattenRecording, vl::kUnflattenNoMagic}) {
    vl::message msg;
    const bool parsed = vl::unflatten(msg, data, size, mode);
    vl::dumpMessage(msg);
    if (!parsed) continue;
    checkStable(msg);
    if (mode == vl::kUnflattenRecording) {
      // The raw copy is whole fields, so it parses on its own without a magic.
      vl::message copied;
      if (!vl::unflatten(copied, msg.rawCopy(), vl::kUnflattenNoMagic)) std::abort();
    }
  }
  return 0;
}
