// pellkey: generates package-signing key sets, signs package digests and checks
// signatures the way the installer does.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "tools/signing/signing.h"

namespace {

int fail(const std::string& message) {
  std::fprintf(stderr, "pellkey: %s\n", message.c_str());
  return 1;
}

bool parseHex(const std::string& text, std::vector<std::uint8_t>& out) {
  if (text.size() % 2 != 0) return false;
  out.clear();
  for (std::size_t i = 0; i < text.size(); i += 2) {
    unsigned value = 0;
    for (char c : text.substr(i, 2)) {
      value <<= 4;
      if (c >= '0' && c <= '9') {
        value |= static_cast<unsigned>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        value |= static_cast<unsigned>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        value |= static_cast<unsigned>(c - 'A' + 10);
      } else {
        return false;
      }
    }
    out.push_back(static_cast<std::uint8_t>(value));
  }
  return true;
}

std::string toHex(const std::vector<std::uint8_t>& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::uint8_t b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 15]);
  }
  return out;
}

bool parseDigest(const std::string& text, std::vector<std::uint8_t>& digest, std::string& error) {
  if (!parseHex(text, digest) || (digest.size() != 20 && digest.size() != 32)) {
    error = "--digest must be 40 hexadecimal digits (SHA-1) or 64 (SHA-256)";
    return false;
  }
  return true;
}

struct KeygenOptions {
  std::string publicPath, secretPath;
  std::vector<std::string> comments;
  bool force = false;
};

// A hard link to the old secret under a spare name beside it, so that it can come back.
// "" when there is no old secret; nothing when it cannot be kept.
std::optional<std::string> keepOldSecret(const std::string& path, std::string& error) {
  std::string spare = path + ".old-XXXXXX";
  const int fd = ::mkstemp(spare.data());  // a name nobody else uses, freed for the link
  if (fd >= 0) {
    (void)::close(fd);
    (void)::unlink(spare.c_str());
  }
  if (fd >= 0 && ::link(path.c_str(), spare.c_str()) == 0) return spare;
  if (fd >= 0 && errno == ENOENT) return std::string();
  error = path + ": cannot keep the old secret: " + std::strerror(errno);
  return std::nullopt;
}

// Puts a new key pair in place so that either the old pair or the new one stands: both
// files are written in full beside their places first, and the old secret is kept until
// the public file is in place, and put back if that fails.
bool replacePair(const KeygenOptions& o, std::string_view secretText, std::string_view publicText,
                 std::string& error) {
  const auto secretTemporary = vl::writeTemporary(o.secretPath, secretText, 0600, error);
  if (!secretTemporary) return false;
  const auto publicTemporary = vl::writeTemporary(o.publicPath, publicText, 0644, error);
  const auto spare = publicTemporary ? keepOldSecret(o.secretPath, error) : std::nullopt;
  bool placed = false;
  if (spare && ::rename(secretTemporary->c_str(), o.secretPath.c_str()) != 0) {
    error = o.secretPath + ": " + std::strerror(errno);
  } else if (spare && ::rename(publicTemporary->c_str(), o.publicPath.c_str()) != 0) {
    error = o.publicPath + ": " + std::strerror(errno);
    (void)(spare->empty() ? ::unlink(o.secretPath.c_str())
                          : ::rename(spare->c_str(), o.secretPath.c_str()));
  } else {
    placed = spare.has_value();
  }
  for (const auto* temporary : {&secretTemporary, &publicTemporary}) {
    if (*temporary) (void)::unlink((*temporary)->c_str());
  }
  if (spare && !spare->empty()) (void)::unlink(spare->c_str());
  return placed;
}

// Without --force neither file may exist: link() refuses an existing name, and a secret
// placed before a public file that could not be is removed again.
bool writePair(const KeygenOptions& o, std::string_view secretText, std::string_view publicText,
               std::string& error) {
  if (o.force) return replacePair(o, secretText, publicText, error);
  if (!vl::writeFileAtomically(o.secretPath, secretText, 0600, false, error)) return false;
  if (vl::writeFileAtomically(o.publicPath, publicText, 0644, false, error)) return true;
  (void)::unlink(o.secretPath.c_str());
  return false;
}

int runKeygen(const KeygenOptions& o) {
  std::string error;
  std::optional<vl::SecretKeySet> secret = vl::generateKeys(error);
  if (!secret) return fail(error);
  std::vector<std::string> publicComments = {"Pellorin package-signing provisioning: public part."};
  std::vector<std::string> secretComments = {
      "Pellorin package-signing keys: SECRET part. Whoever holds this file can sign packages.",
      "Its public part is in the provisioning file built into the installer."};
  for (const std::string& c : o.comments) {
    publicComments.push_back(c);
    secretComments.push_back(c);
  }
  if (!o.force) {
    for (const std::string& path : {o.secretPath, o.publicPath}) {
      if (::access(path.c_str(), F_OK) == 0) return fail(path + ": exists already (use --force)");
    }
  }
  std::string text = vl::formatSecretKeys(*secret, secretComments);
  const bool written = writePair(o, text, vl::formatKeySet(secret->keys, publicComments), error);
  explicit_bzero(text.data(), text.size());
  return written ? 0 : fail(error);
}

int runSign(const std::string& secretPath, const std::string& digestText,
            const std::string& scheme) {
  std::string error;
  std::vector<std::uint8_t> digest;
  if (!parseDigest(digestText, digest, error)) return fail(error);
  std::optional<vl::SecretKeySet> secret = vl::loadSecretKeys(secretPath, error);
  if (!secret) return fail(error);
  const auto schemes = scheme == "1" ? vl::SignatureSchemes::SchemeOne : vl::SignatureSchemes::Both;
  const std::vector<std::uint8_t> payload =
      vl::signaturePayload(*secret, digest.data(), digest.size(), schemes);
  if (payload.empty()) return fail("the signature does not check against the key set");
  std::printf("%s\n", toHex(payload).c_str());
  return 0;
}

int runVerify(const std::string& keysPath, const std::string& digestText,
              const std::string& signatureText) {
  std::string error;
  std::vector<std::uint8_t> digest, payload;
  if (!parseDigest(digestText, digest, error)) return fail(error);
  if (!parseHex(signatureText, payload) || (payload.size() != 68 && payload.size() != 132)) {
    return fail("--signature must be 136 or 264 hexadecimal digits (68 or 132 bytes)");
  }
  std::optional<vl::KeySet> keys = vl::loadKeySet(keysPath, error);
  if (!keys) return fail(error);
  std::uint8_t buffer[32] = {};  // a SHA-1 digest leaves the last 12 bytes zero
  std::copy(digest.begin(), digest.end(), buffer);
  const std::uint8_t level = vl::signatureLevel(*keys, buffer, payload.data(), payload.size());
  std::printf("level %u\n", static_cast<unsigned>(level));
  return level > 0 ? 0 : 1;
}

int runPublic(const std::string& secretPath, const std::vector<std::string>& comments) {
  std::string error;
  std::optional<vl::SecretKeySet> secret = vl::loadSecretKeys(secretPath, error);
  if (!secret) return fail(error);
  std::vector<std::string> all = {"Pellorin package-signing provisioning: public part."};
  all.insert(all.end(), comments.begin(), comments.end());
  std::fputs(vl::formatKeySet(secret->keys, all).c_str(), stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // A comment is written as one "# " line: a line feed in it would make key files that
  // nothing can load.
  const auto oneLine = [](const std::string& text) {
    return text.find_first_of("\n\r") == std::string::npos ? std::string()
                                                           : std::string("must be one line");
  };
  CLI::App app{"Package-signing keys of the Pellorin network installer."};
  app.set_version_flag("--version", std::string("pellkey ") + VL_VERSION);
  app.require_subcommand(1);

  KeygenOptions keygen;
  CLI::App* keygenCommand =
      app.add_subcommand("keygen", "Generate a new key set from the system random source.");
  keygenCommand->add_option("--public", keygen.publicPath, "Public provisioning file to write")
      ->required();
  keygenCommand->add_option("--secret", keygen.secretPath, "Secret key file to write (mode 0600)")
      ->required();
  keygenCommand->add_option("--comment", keygen.comments, "Comment line for both files")
      ->check(oneLine);
  keygenCommand->add_flag("--force", keygen.force, "Replace existing files");

  std::string secretPath, digest, scheme = "both", keysPath, signature;
  CLI::App* signCommand =
      app.add_subcommand("sign", "Print the signature part payload (hex) for a package digest.");
  signCommand->add_option("--secret", secretPath, "Secret key file")->required();
  signCommand->add_option("--digest", digest, "SHA-1 or SHA-256 digest, hexadecimal")->required();
  signCommand
      ->add_option("--scheme", scheme, "1: 68-byte scheme-1 form; both: 132-byte form with Ed25519")
      ->check(CLI::IsMember({"1", "both"}));

  CLI::App* verifyCommand =
      app.add_subcommand("verify", "Print the trust level (0, 1, 2) of a signature payload.");
  verifyCommand->add_option("--keys", keysPath, "Public provisioning file")->required();
  verifyCommand->add_option("--digest", digest, "SHA-1 or SHA-256 digest, hexadecimal")->required();
  verifyCommand->add_option("--signature", signature, "Payload of 68 or 132 bytes, hexadecimal")
      ->required();

  std::vector<std::string> comments;
  CLI::App* publicCommand =
      app.add_subcommand("public", "Print the public provisioning file of a secret key file.");
  publicCommand->add_option("--secret", secretPath, "Secret key file")->required();
  publicCommand->add_option("--comment", comments, "Comment line")->check(oneLine);

  CLI11_PARSE(app, argc, argv);
  if (keygenCommand->parsed()) return runKeygen(keygen);
  if (signCommand->parsed()) return runSign(secretPath, digest, scheme);
  if (verifyCommand->parsed()) return runVerify(keysPath, digest, signature);
  return runPublic(secretPath, comments);
}
