// SHA-256 of a file as it lies on the panel, so that an image can be compared
// with the release's digest (`sha256sum`) without a crypto library: the tools
// depend on nothing but the standard library and the platform.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace vantrel::doctor {

// A running digest: feed the bytes in pieces of any size, then take the
// digest once.
class Sha256 {
  public:
    Sha256();
    void update(const uint8_t* bytes, size_t size);
    // The 64 lower-case hex digits sha256sum prints. Ends the digest.
    std::string hexDigest();

  private:
    void compressBlock(const uint8_t* block);

    std::array<uint32_t, 8> state_;
    std::array<uint8_t, 64> pending_{};  // bytes of a block not yet full
    size_t pendingSize_ = 0;
    uint64_t totalBytes_ = 0;
};

// The digest of `text` in one call.
std::string sha256Hex(const std::string& text);

}  // namespace vantrel::doctor
