#include "tests/crypto_sig/known_answers.h"

#include <endian.h>

#include <cstring>

#include "tests/support/hex.h"

namespace vl::testing {
namespace {

void readWords(std::uint32_t* words, const std::vector<std::uint8_t>& bytes) {
  for (std::size_t i = 0; i < bytes.size() / 4; ++i) {
    std::memcpy(&words[i], &bytes[4 * i], 4);
    words[i] = be32toh(words[i]);
  }
}

}  // namespace

std::vector<std::uint8_t> testKeyMaterial() {
  std::vector<std::uint8_t> material(64 + 32 + 32 + 32 + 256);
  for (std::size_t i = 0; i < material.size(); ++i) {
    material[i] = static_cast<std::uint8_t>(i * 37 + 11);
  }
  return material;
}

KeySet testKeys() {
  KeySet keys{};
  readWords(keys.sigHashInit,
            fromHex("8bb0d5fa1f44698eb3d8fd22476c91b6db00254a6f94b9de03284d7297bce106"));
  readWords(keys.sigHashRounds,
            fromHex("2b50759abfe4092e53789dc2e70c31567ba0c5ea0f34597ea3c8ed12375c81a6cbf0153a5f84a9"
                    "cef3183d6287acd1f61b40658aafd4f91e43688db2d7fc21466b90b5daff24496e93b8dd02274c"
                    "7196bbe0052a4f7499bee3082d52779cc1e60b30557a9fc4e90e33587da2c7ec11365b80a5caef"
                    "14395e83a8cdf2173c6186abd0f51a3f6489aed3f81d42678cb1d6fb20456a8fb4d9fe23486d92"
                    "b7dc01264b7095badf04294e7398bde2072c51769bc0e50a2f54799ec3e80d32577ca1c6eb1035"
                    "5a7fa4c9ee13385d82a7ccf1163b6085aacff4193e6388add2f71c41668bb0d5fa1f44698eb3d8"
                    "fd22476c91b6db00254a6f94b9de03284d7297bce106"));
  const auto k1 = fromHex("5eb412b1054f778bbe99d122a5571033ada09c6209877dce84fca5142f5bd659");
  const auto k2 = fromHex("41a7559bc4e9a361efb7bc757038d63790d04fef2bf537d2cb95a6474db2cc34");
  std::copy(k1.begin(), k1.end(), keys.k1);
  std::copy(k2.begin(), k2.end(), keys.k2);
  return keys;
}

// SHA-1 of "first package" (132 bytes), SHA-256 of "second package" (132 bytes), SHA-1 of
// "third package" (68 bytes).
const KnownSignature kKnownSignatures[3] = {
    {"7dd8b2fc975ac80328feb8199d16d5b7326f46d3",
     "0000000000000000000000000000000000000000d6cd8ddee8f42da88627f4688d17bba6893e0e1731e37434b3f2"
     "b973434a7ebe9ca3d359964bc614124ba611eaad4d08a7a51f4dfbfaf5bdbef8b8a6d259ee72ba09885b0fac5bca"
     "f01579a21a1a6b4590b41a8907f33b2c18fbb652a826f8d2296502632dbefd12882d9996344b0405",
     2},
    {"8e62e95c8ab17f149c78d0841f8ca52b25cef8474029122a9872c1e70a54134f",
     "00000000000000000000000000000000000000000615e390fcf585394c4c79f37a96541843beae5ac23662e6903b"
     "75a7c9526996d4df2dbea4e70320f52806dcd2cac60d77a374cf7102e6450b12c4ca0284d92c059c11b04b30590b"
     "6ebdd423ea57d9f6a81570f6d4c275bc85bd95357ef9b15d0a0626a800cc305b5499aca84039440d",
     2},
    {"01f05287d853ddf1083479f83ae8de0e8a19f75a",
     "0000000000000000000000000000000000000000b0e6c5ca53f9dcab7a7bf83ba6829d85bcbc5c0cc63eb0e733ce"
     "bee36aae3dd0be86e932f33f7e97fe8a1fccbf610004",
     1},
};

// SHA-256 of "development package".
const KnownSignature kDevelopmentSignature = {
    "170c3f1f8d32d43a5aa38835f0cdfb65c6fe1822e67b4a5a24cbe595c813e6ca",
    "0000000000000000000000000000000000000000219e33927cb078e6bd3de1aae87ecc03df58b068a26a47358e00"
    "c609df035dae28cd9a2e1933b745d1c00ba73d98e5067fcc72ab83cab58c3792afa144eb35ed74b7fe3d67bbb25e"
    "8dfb6afc6cbbce82228e33090284dc0d49b18872dcae2dca9789a43fdd6951abb34056f18b217801",
    2};
const char kDevelopmentK1[] = "dedf225b4c6deca5f01208e2a818d7404ab52cab115d15356227e226772eb02b";

}  // namespace vl::testing
