// Ed25519 verification (RFC 8032, PureEdDSA with SHA-512) with the system's particulars:
// S is not range-checked, k is reduced mod L, no cofactor, and a key or R that is the
// neutral element is refused.
#include "crypto/edwards25519.h"
#include "crypto/hash.h"
#include "crypto/scalar25519.h"
#include "crypto/signature.h"

namespace vl {

bool ed25519Verify(const std::uint8_t* publicKey, std::size_t publicKeyLength,
                   const std::uint8_t* message, std::size_t messageLength,
                   const std::uint8_t* signature, std::size_t signatureLength) {
  if (publicKeyLength != 32 || signatureLength != 64) return false;
  EdPoint a, r;
  if (!edDecode(a, publicKey) || !edDecode(r, signature)) return false;
  // (0, 1) has no image in the Weierstrass model of the check (it maps to the point at
  // infinity there), and accepting it as R or A would let [S]B = R + [k]A degenerate.
  if (edIsNeutral(a) || edIsNeutral(r)) return false;

  // k hashes R and A exactly as received, not re-encoded.
  std::uint8_t hash[64];
  Sha512 sha;
  sha.update(signature, 32).update(publicKey, 32).update(message, messageLength);
  sha.final(hash);
  std::uint8_t k[32];
  scalarReduce(k, hash);

  // [S]B = R + [k]A  <=>  [k](-A) + [S]B = R
  EdPoint negA, check;
  edNegate(negA, a);
  edDoubleScalarMultiply(check, k, negA, signature + 32);
  return edEqual(check, r) == 1;
}

}  // namespace vl
