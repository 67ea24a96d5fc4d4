// SHA-256 (FIPS 180-4) and HMAC (RFC 2104).
#include "sha256.hpp"

#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace qba::audit {

namespace {

constexpr std::uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr std::uint32_t kInitial[8] = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

inline std::uint32_t rotr(std::uint32_t x, int n) noexcept { return (x >> n) | (x << (32 - n)); }

inline std::uint32_t load_be(const unsigned char* p) noexcept {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

#if defined(__x86_64__)

// Four rounds at a time with SHA256RNDS2; the state held as ABEF and CDGH, as
// the instruction takes it.
__attribute__((target("sha,sse4.1"))) void compress_sha_ni(std::uint32_t* state,
                                                            const unsigned char* blocks,
                                                            std::size_t count) noexcept {
    const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
    __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
    __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
    __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);
    for (; count > 0; --count, blocks += kBlockSize) {
        const __m128i abef_before = abef;
        const __m128i cdgh_before = cdgh;
        __m128i words[4];
        for (int group = 0; group < 16; ++group) {
            __m128i& current = words[group & 3];
            if (group < 4) {
                current = _mm_shuffle_epi8(
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 16 * group)), byte_swap);
            } else {
                // W[t] = s1(W[t-2]) + W[t-7] + s0(W[t-15]) + W[t-16], four at a time.
                const __m128i& last = words[(group - 1) & 3];
                const __m128i& before_last = words[(group - 2) & 3];
                __m128i partial = _mm_sha256msg1_epu32(current, words[(group - 3) & 3]);
                partial = _mm_add_epi32(partial, _mm_alignr_epi8(last, before_last, 4));
                current = _mm_sha256msg2_epu32(partial, last);
            }
            __m128i scheduled = _mm_add_epi32(
                current, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kRound + 4 * group)));
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, scheduled);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(scheduled, 0x0E));
        }
        abef = _mm_add_epi32(abef, abef_before);
        cdgh = _mm_add_epi32(cdgh, cdgh_before);
    }
    __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    dcba = _mm_blend_epi16(feba, dchg, 0xF0);
    hgfe = _mm_alignr_epi8(dchg, feba, 8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), dcba);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), hgfe);
}

bool has_sha_extensions() noexcept {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) {
        return false;
    }
    const bool sse41 = (c & bit_SSE4_1) != 0;
    const bool ssse3 = (c & bit_SSSE3) != 0;
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) {
        return false;
    }
    return sse41 && ssse3 && (b & bit_SHA) != 0;
}

#endif

}  // namespace

void compress_portable(std::uint32_t* state, const unsigned char* blocks, std::size_t count) noexcept {
    for (; count > 0; --count, blocks += kBlockSize) {
        std::uint32_t w[64];
        for (int t = 0; t < 16; ++t) {
            w[t] = load_be(blocks + 4 * t);
        }
        for (int t = 16; t < 64; ++t) {
            std::uint32_t s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
            std::uint32_t s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
            w[t] = w[t - 16] + s0 + w[t - 7] + s1;
        }
        std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        for (int t = 0; t < 64; ++t) {
            std::uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) +
                               kRound[t] + w[t];
            std::uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}

Compress best_compress() noexcept {
#if defined(__x86_64__)
    if (has_sha_extensions()) {
        return compress_sha_ni;
    }
#endif
    return compress_portable;
}

Sha256::Sha256(Compress how) noexcept : length(0), held(0), compress(how) {
    std::memcpy(state, kInitial, sizeof state);
}

void Sha256::update(const void* data, std::size_t size) noexcept {
    const auto* bytes = static_cast<const unsigned char*>(data);
    length += size;
    if (held > 0) {
        std::size_t take = kBlockSize - held < size ? kBlockSize - held : size;
        std::memcpy(pending + held, bytes, take);
        held += take;
        bytes += take;
        size -= take;
        if (held < kBlockSize) {
            return;
        }
        compress(state, pending, 1);
        held = 0;
    }
    std::size_t whole = size / kBlockSize;
    if (whole > 0) {
        compress(state, bytes, whole);
        bytes += whole * kBlockSize;
        size -= whole * kBlockSize;
    }
    std::memcpy(pending, bytes, size);
    held = size;
}

void Sha256::finish(unsigned char digest[kDigestSize]) noexcept {
    const std::uint64_t bits = length * 8;
    pending[held++] = 0x80;
    if (held > kBlockSize - 8) {
        std::memset(pending + held, 0, kBlockSize - held);
        compress(state, pending, 1);
        held = 0;
    }
    std::memset(pending + held, 0, kBlockSize - 8 - held);
    for (int i = 0; i < 8; ++i) {
        pending[kBlockSize - 1 - i] = static_cast<unsigned char>(bits >> (8 * i));
    }
    compress(state, pending, 1);
    held = 0;
    for (int i = 0; i < 8; ++i) {
        digest[4 * i] = static_cast<unsigned char>(state[i] >> 24);
        digest[4 * i + 1] = static_cast<unsigned char>(state[i] >> 16);
        digest[4 * i + 2] = static_cast<unsigned char>(state[i] >> 8);
        digest[4 * i + 3] = static_cast<unsigned char>(state[i]);
    }
}

HmacKey::HmacKey(const unsigned char* key, std::size_t size, Compress how) noexcept
    : inner(how), outer(how) {
    unsigned char block[kBlockSize] = {};
    if (size > kBlockSize) {  // a long key is its digest
        Sha256 digest(how);
        digest.update(key, size);
        digest.finish(block);
    } else {
        std::memcpy(block, key, size);
    }
    unsigned char pad[kBlockSize];
    for (std::size_t i = 0; i < kBlockSize; ++i) {
        pad[i] = block[i] ^ 0x36;
    }
    inner.update(pad, kBlockSize);
    for (std::size_t i = 0; i < kBlockSize; ++i) {
        pad[i] = block[i] ^ 0x5c;
    }
    outer.update(pad, kBlockSize);
}

void HmacKey::sign(const void* data, std::size_t size, unsigned char mac[kDigestSize]) const noexcept {
    Sha256 first = inner;
    first.update(data, size);
    unsigned char digest[kDigestSize];
    first.finish(digest);
    Sha256 second = outer;
    second.update(digest, kDigestSize);
    second.finish(mac);
}

void to_hex(const unsigned char digest[kDigestSize], char out[2 * kDigestSize]) noexcept {
    static const char digits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < kDigestSize; ++i) {
        out[2 * i] = digits[digest[i] >> 4];
        out[2 * i + 1] = digits[digest[i] & 15];
    }
}

}  // namespace qba::audit
