// Typed access to the fields of a message that need more than a map lookup.
#include "message/message.h"

namespace vl {

std::string message::getString(Key key, std::string_view fallback) const {
  auto it = fields_.find(storedKey(kTypeString, key));
  if (it == fields_.end()) return std::string(fallback);
  return std::get<std::string>(it->second);
}

bool message::setMessage(Key key, const message& value) {
  Bytes flat;
  // Each field fits its own 16-bit length, yet together they may not.
  if (!flatten(value, flat) || flat.size() > kMaxFlatLength) return false;
  put(kTypeMessage, key, std::move(flat));
  return true;
}

message message::getMessage(Key key) const { return getMessage(key, message()); }

message message::getMessage(Key key, const message& fallback) const {
  auto it = fields_.find(storedKey(kTypeMessage, key));
  if (it == fields_.end()) return fallback;
  message nested;
  if (!unflatten(nested, std::get<Bytes>(it->second))) return fallback;
  return nested;
}

bool message::setMessageArray(Key key, const std::vector<message>& values) {
  std::vector<Bytes> flats(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (!flatten(values[i], flats[i]) || flats[i].size() > kMaxFlatLength) return false;
  }
  put(kTypeMessageArray, key, std::move(flats));
  return true;
}

std::vector<message> message::getMessageArray(Key key, const std::vector<message>& fallback) const {
  auto it = fields_.find(storedKey(kTypeMessageArray, key));
  if (it == fields_.end()) return fallback;
  const auto& flats = std::get<std::vector<Bytes>>(it->second);
  std::vector<message> nested(flats.size());
  for (std::size_t i = 0; i < flats.size(); ++i) {
    if (!unflatten(nested[i], flats[i])) return fallback;
  }
  return nested;
}

void message::clear() {
  fields_.clear();
  Bytes().swap(rawCopy_);
}

}  // namespace vl
