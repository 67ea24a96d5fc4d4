// SHA-256 and HMAC-SHA256 over the bytes of a record: a compression function
// with the x86 SHA extensions where the processor has them, and a portable
// one that gives the same digests everywhere else.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qba::audit {

inline constexpr std::size_t kDigestSize = 32;
inline constexpr std::size_t kBlockSize = 64;

using Compress = void (*)(std::uint32_t* state, const unsigned char* blocks, std::size_t count) noexcept;

// The portable compression, and the one chosen for this processor.
void compress_portable(std::uint32_t* state, const unsigned char* blocks, std::size_t count) noexcept;
Compress best_compress() noexcept;

struct Sha256 {
    std::uint32_t state[8];
    std::uint64_t length;  // bytes absorbed
    unsigned char pending[kBlockSize];
    std::size_t held;  // bytes of `pending` in use
    Compress compress;

    explicit Sha256(Compress how) noexcept;
    void update(const void* data, std::size_t size) noexcept;
    void finish(unsigned char digest[kDigestSize]) noexcept;
};

// The inner and outer hashes of HMAC with the key already absorbed, so that
// each message costs its own blocks and one more.
struct HmacKey {
    Sha256 inner;
    Sha256 outer;

    HmacKey(const unsigned char* key, std::size_t size, Compress how) noexcept;
    void sign(const void* data, std::size_t size, unsigned char mac[kDigestSize]) const noexcept;
};

// 64 lowercase hex digits.
void to_hex(const unsigned char digest[kDigestSize], char out[2 * kDigestSize]) noexcept;

}  // namespace qba::audit
