// Key files: the public provisioning file that the build turns into the installer's
// constants, and the secret file that signs for it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

#include "tools/signing/signing.h"

namespace vl {
namespace {

struct Field {
  const char* name;
  std::size_t bytes;
  bool secret;
};

constexpr Field kFields[] = {
    {"sighash-init", 32, false}, {"sighash-rounds", 256, false}, {"k1", 32, false},
    {"k2", 32, false},           {"s1-secret", 32, true},        {"s1-nonce-key", 32, true},
    {"ed25519-seed", 32, true},
};

using Fields = std::map<std::string, std::vector<std::uint8_t>>;

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) {
    s.remove_prefix(1);
  }
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return s;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

const Field* findField(std::string_view name) {
  for (const Field& f : kFields) {
    if (name == f.name) return &f;
  }
  return nullptr;
}

// Holds parsed fields and wipes them when it goes, whichever way parsing ends.
struct WipedFields {
  Fields fields;
  ~WipedFields() {
    for (auto& [name, bytes] : fields) explicit_bzero(bytes.data(), bytes.size());
  }
};

bool parseFields(std::string_view text, Fields& fields, std::string& error) {
  int lineNumber = 0;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = trim(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    ++lineNumber;
    if (line.empty() || line.front() == '#') continue;
    const std::size_t equals = line.find('=');
    const std::string where = "line " + std::to_string(lineNumber) + ": ";
    if (equals == std::string_view::npos) {
      error = where + "expected 'name = hexadecimal value'";
      return false;
    }
    const std::string name(trim(line.substr(0, equals)));
    const std::string_view value = trim(line.substr(equals + 1));
    const Field* field = findField(name);
    if (field == nullptr) {
      error = where + "unknown field '" + name + "'";
      return false;
    }
    if (fields.count(name) != 0) {
      error = where + "field '" + name + "' given twice";
      return false;
    }
    if (value.size() != 2 * field->bytes) {
      error = where + "field '" + name + "' must hold " + std::to_string(2 * field->bytes) +
              " hexadecimal digits, has " + std::to_string(value.size());
      return false;
    }
    // Decoded in place, so no copy of a secret is left behind on any path.
    std::vector<std::uint8_t>& bytes = fields[name];
    bytes.resize(field->bytes);
    for (std::size_t i = 0; i < field->bytes; ++i) {
      const int high = hexDigit(value[2 * i]);
      const int low = hexDigit(value[2 * i + 1]);
      if (high < 0 || low < 0) {
        error = where + "field '" + name + "' is not hexadecimal";
        return false;
      }
      bytes[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
  }
  return true;
}

bool requireFields(const Fields& fields, bool secret, std::string& error) {
  for (const Field& f : kFields) {
    if ((secret || !f.secret) && fields.count(f.name) == 0) {
      error = std::string("field '") + f.name + "' is missing";
      return false;
    }
  }
  return true;
}

void readWords(std::uint32_t* words, const std::vector<std::uint8_t>& bytes) {
  for (std::size_t i = 0; i < bytes.size() / 4; ++i) {
    words[i] = static_cast<std::uint32_t>(bytes[4 * i]) << 24 |
               static_cast<std::uint32_t>(bytes[4 * i + 1]) << 16 |
               static_cast<std::uint32_t>(bytes[4 * i + 2]) << 8 | bytes[4 * i + 3];
  }
}

KeySet publicPart(const Fields& fields) {
  KeySet keys{};
  readWords(keys.sigHashInit, fields.at("sighash-init"));
  readWords(keys.sigHashRounds, fields.at("sighash-rounds"));
  std::memcpy(keys.k1, fields.at("k1").data(), 32);
  std::memcpy(keys.k2, fields.at("k2").data(), 32);
  return keys;
}

void appendHex(std::string& out, const std::uint8_t* data, std::size_t length) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (std::size_t i = 0; i < length; ++i) {
    out.push_back(kDigits[data[i] >> 4]);
    out.push_back(kDigits[data[i] & 15]);
  }
}

std::string hex(const std::uint8_t* data, std::size_t length) {
  std::string out;
  appendHex(out, data, length);
  return out;
}

std::string hexWords(const std::uint32_t* words, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t bytes[4] = {
        static_cast<std::uint8_t>(words[i] >> 24), static_cast<std::uint8_t>(words[i] >> 16),
        static_cast<std::uint8_t>(words[i] >> 8), static_cast<std::uint8_t>(words[i])};
    out += hex(bytes, 4);
  }
  return out;
}

std::string formatCommon(const KeySet& keys, const std::vector<std::string>& comments) {
  std::string out;
  for (const std::string& c : comments) out += "# " + c + "\n";
  out += "sighash-init = " + hexWords(keys.sigHashInit, 8) + "\n";
  out += "sighash-rounds = " + hexWords(keys.sigHashRounds, 64) + "\n";
  out += "k1 = " + hex(keys.k1, 32) + "\n";
  out += "k2 = " + hex(keys.k2, 32) + "\n";
  return out;
}

// The whole file into one buffer of its size, so that no stream buffer keeps a copy of a
// secret file; the buffer is wiped on a failed read. Key files are small.
std::optional<std::string> readFile(const std::string& path, std::string& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0 || st.st_size > (1 << 20)) {
    error = path + ": " +
            (fd >= 0 && st.st_size > (1 << 20) ? "too large for a key file" : std::strerror(errno));
    if (fd >= 0) (void)::close(fd);
    return std::nullopt;
  }
  std::string content(static_cast<std::size_t>(st.st_size) + 1, '\0');
  std::size_t size = 0;
  for (;;) {
    const ssize_t n = ::read(fd, content.data() + size, content.size() - size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || size + static_cast<std::size_t>(n) == content.size()) {
      const bool complete = n == 0;
      (void)::close(fd);
      if (!complete) {
        explicit_bzero(content.data(), content.size());
        error = path + ": read failed (or the file grew)";
        return std::nullopt;
      }
      content.resize(size);  // shrinking keeps the buffer
      return content;
    }
    size += static_cast<std::size_t>(n);
  }
}

bool writeAll(int fd, std::string_view content) {
  while (!content.empty()) {
    const ssize_t n = ::write(fd, content.data(), content.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    content.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

SecretKeySet::~SecretKeySet() {
  explicit_bzero(schemeOneSecret, sizeof schemeOneSecret);
  explicit_bzero(schemeOneNonceKey, sizeof schemeOneNonceKey);
  explicit_bzero(ed25519Seed, sizeof ed25519Seed);
}

std::optional<KeySet> parseKeySet(std::string_view text, std::string& error) {
  WipedFields parsed;
  if (!parseFields(text, parsed.fields, error) || !requireFields(parsed.fields, false, error)) {
    return std::nullopt;
  }
  return publicPart(parsed.fields);
}

std::optional<SecretKeySet> parseSecretKeys(std::string_view text, std::string& error) {
  WipedFields parsed;
  if (!parseFields(text, parsed.fields, error) || !requireFields(parsed.fields, true, error)) {
    return std::nullopt;
  }
  std::optional<SecretKeySet> secret(std::in_place);
  secret->keys = publicPart(parsed.fields);
  std::memcpy(secret->schemeOneSecret, parsed.fields.at("s1-secret").data(), 32);
  std::memcpy(secret->schemeOneNonceKey, parsed.fields.at("s1-nonce-key").data(), 32);
  std::memcpy(secret->ed25519Seed, parsed.fields.at("ed25519-seed").data(), 32);
  return secret;
}

std::string formatKeySet(const KeySet& keys, const std::vector<std::string>& comments) {
  return formatCommon(keys, comments);
}

std::string formatSecretKeys(const SecretKeySet& secret, const std::vector<std::string>& comments) {
  std::string out = formatCommon(secret.keys, comments);
  // Room for the secrets first, so that appending them leaves no copy in a freed buffer.
  out.reserve(out.size() + 3 * (16 + 64 + 1));
  const std::pair<const char*, const std::uint8_t*> secrets[] = {
      {"s1-secret = ", secret.schemeOneSecret},
      {"s1-nonce-key = ", secret.schemeOneNonceKey},
      {"ed25519-seed = ", secret.ed25519Seed}};
  for (const auto& [name, bytes] : secrets) {
    out += name;
    appendHex(out, bytes, 32);
    out += '\n';
  }
  return out;
}

std::optional<KeySet> loadKeySet(const std::string& path, std::string& error) {
  std::optional<std::string> text = readFile(path, error);
  if (!text) return std::nullopt;
  std::optional<KeySet> keys = parseKeySet(*text, error);
  explicit_bzero(text->data(), text->size());  // a secret file is accepted here too
  if (!keys) error = path + ": " + error;
  return keys;
}

std::optional<SecretKeySet> loadSecretKeys(const std::string& path, std::string& error) {
  std::optional<std::string> text = readFile(path, error);
  if (!text) return std::nullopt;
  std::optional<SecretKeySet> secret = parseSecretKeys(*text, error);
  explicit_bzero(text->data(), text->size());
  if (!secret) {
    error = path + ": " + error;
    return std::nullopt;
  }
  if (!keysMatch(*secret)) {
    error = path + ": k1 or k2 does not belong to the secret keys of the file";
    return std::nullopt;
  }
  return secret;
}

std::optional<std::string> writeTemporary(const std::string& path, std::string_view content,
                                          unsigned mode, std::string& error) {
  std::string temporary = path + ".XXXXXX";
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) {
    error = path + ": cannot create a temporary file: " + std::strerror(errno);
    return std::nullopt;
  }
  const bool written = ::fchmod(fd, mode) == 0 && writeAll(fd, content) && ::fsync(fd) == 0;
  const int writeErrno = errno;
  if (::close(fd) != 0 || !written) {
    error = path + ": write failed: " + std::strerror(written ? errno : writeErrno);
    (void)::unlink(temporary.c_str());
    return std::nullopt;
  }
  return temporary;
}

bool writeFileAtomically(const std::string& path, std::string_view content, unsigned mode,
                         bool replace, std::string& error) {
  const std::optional<std::string> written = writeTemporary(path, content, mode, error);
  if (!written) return false;
  const std::string& temporary = *written;
  // link() refuses an existing name, so "do not replace" holds even against a race.
  const int placed =
      replace ? ::rename(temporary.c_str(), path.c_str()) : ::link(temporary.c_str(), path.c_str());
  const int placeErrno = errno;
  if (!replace || placed != 0) (void)::unlink(temporary.c_str());
  if (placed != 0) {
    error = path + ": " +
            (placeErrno == EEXIST ? std::string("exists already (use --force)")
                                  : std::string(std::strerror(placeErrno)));
    return false;
  }
  return true;
}

}  // namespace vl
