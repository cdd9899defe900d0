// Incremental hashes behind one interface, so that the package reader can switch from
// SHA-1 to SHA-256 in the middle of a file, and the system's own signature hash.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vl {

class BlockHash {
 public:
  // Bytes that the message-length field occupies at the end of the last block.
  virtual std::uint32_t lengthFieldSize() const = 0;
  virtual ~BlockHash() = default;
  // Feeds bytes; an idle object (byte count 0) starts a new message by itself.
  virtual BlockHash& update(const void* data, std::size_t length);
  virtual std::uint32_t blockSize() const = 0;
  virtual std::uint32_t digestSize() const = 0;
  // Pads, writes digestSize() bytes to out and returns the object to idle. The base pads
  // and resets; each concrete hash then writes its chaining state.
  virtual void final(std::uint8_t* out);
  virtual void init() = 0;
  virtual void compress() = 0;

 protected:
  BlockHash() = default;
  BlockHash(const BlockHash&) = default;
  BlockHash& operator=(const BlockHash&) = default;

  void pad(bool littleEndianLength);

  std::uint32_t countHigh_ = 0;
  std::uint32_t countLow_ = 0;
  std::uint8_t block_[128] = {};
};

class Sha1 final : public BlockHash {
 public:
  Sha1() = default;
  std::uint32_t lengthFieldSize() const override { return 8; }
  std::uint32_t blockSize() const override { return 64; }
  std::uint32_t digestSize() const override { return 20; }
  void final(std::uint8_t* out) override;
  void init() override;
  void compress() override;

 private:
  std::uint32_t state_[5] = {};
};

class Sha256 final : public BlockHash {
 public:
  Sha256() = default;
  std::uint32_t lengthFieldSize() const override { return 8; }
  std::uint32_t blockSize() const override { return 64; }
  std::uint32_t digestSize() const override { return 32; }
  void final(std::uint8_t* out) override;
  void init() override;
  void compress() override;

 private:
  std::uint32_t state_[8] = {};
};

class Sha512 final : public BlockHash {
 public:
  Sha512() = default;
  std::uint32_t lengthFieldSize() const override { return 16; }
  std::uint32_t blockSize() const override { return 128; }
  std::uint32_t digestSize() const override { return 64; }
  void final(std::uint8_t* out) override;
  void init() override;
  void compress() override;

 private:
  std::uint64_t state_[8] = {};
};

// HMAC over an inner hash object that the creator keeps alive; the object takes the inner
// hash over and resets it. init() drops a message in progress; compress() has nothing to
// do, the inner hash keeps the blocks.
class Hmac final : public BlockHash {
 public:
  Hmac(BlockHash& inner, const void* key, std::uint32_t keyLength);
  Hmac(BlockHash& inner, const char* key);
  std::uint32_t lengthFieldSize() const override { return inner_.lengthFieldSize(); }
  BlockHash& update(const void* data, std::size_t length) override;
  std::uint32_t blockSize() const override { return inner_.blockSize(); }
  std::uint32_t digestSize() const override { return inner_.digestSize(); }
  void final(std::uint8_t* out) override;
  void init() override;
  void compress() override;

 private:
  void feedPad(std::uint8_t fill);

  BlockHash& inner_;
  std::uint8_t started_ = 0;
  std::uint8_t key_[128] = {};
  std::uint32_t keyLength_ = 0;
};

// The system's own 256-bit hash: SHA-256's structure with the provisioned initial
// state and round constants.
void sigHash256(std::uint8_t out[32], const void* data, std::size_t length);
// The same with explicit tables, for the PC tools that check against another key set.
void sigHash256(const std::uint32_t init[8], const std::uint32_t rounds[64], std::uint8_t out[32],
                const void* data, std::size_t length);

// The SHA-256 core that sigHash256 shares, with its tables as parameters.
void sha256Blocks(std::uint32_t state[8], const std::uint8_t* blocks, std::size_t count,
                  const std::uint32_t rounds[64]);

}  // namespace vl
