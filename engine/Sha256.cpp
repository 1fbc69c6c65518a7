#include "engine/Sha256.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <vector>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace {

const uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

inline uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void PortableBlocks(uint32_t* h_, const uint8_t* p, size_t n) {
  for (; n > 0; --n, p += 64) {
    uint32_t w[64];
    for (int i = 0; i < 16; ++i)
      w[i] = (uint32_t(p[4 * i]) << 24) | (uint32_t(p[4 * i + 1]) << 16) | (uint32_t(p[4 * i + 2]) << 8) |
             uint32_t(p[4 * i + 3]);
    for (int i = 16; i < 64; ++i) {
      uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
      uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3], e = h_[4], f = h_[5], g = h_[6], h = h_[7];
    for (int i = 0; i < 64; ++i) {
      uint32_t t1 = h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRound[i] + w[i];
      uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      h = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    h_[0] += a; h_[1] += b; h_[2] += c; h_[3] += d;
    h_[4] += e; h_[5] += f; h_[6] += g; h_[7] += h;
  }
}

#if defined(__x86_64__)
// The SHA extensions keep the state as ABEF and CDGH and take two rounds
// per instruction; the schedule's recurrence is two more instructions.
__attribute__((target("sha,sse4.1,ssse3"))) void HardwareBlocks(uint32_t* state, const uint8_t* p, size_t n) {
  const __m128i swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  __m128i t = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0xB1);  // CDAB
  __m128i s1 = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4)), 0x1B);  // EFGH
  __m128i s0 = _mm_alignr_epi8(t, s1, 8);  // ABEF
  s1 = _mm_blend_epi16(s1, t, 0xF0);       // CDGH
  for (; n > 0; --n, p += 64) {
    const __m128i save0 = s0, save1 = s1;
    __m128i w[4];
#pragma GCC unroll 16
    for (int g = 0; g < 16; ++g) {
      __m128i& m = w[g & 3];
      if (g < 4) {
        m = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * g)), swap);
      } else {
        const __m128i& prev = w[(g + 3) & 3];
        m = _mm_sha256msg2_epu32(
            _mm_add_epi32(_mm_sha256msg1_epu32(m, w[(g + 1) & 3]), _mm_alignr_epi8(prev, w[(g + 2) & 3], 4)), prev);
      }
      __m128i k = _mm_add_epi32(m, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kRound + 4 * g)));
      s1 = _mm_sha256rnds2_epu32(s1, s0, k);
      s0 = _mm_sha256rnds2_epu32(s0, s1, _mm_shuffle_epi32(k, 0x0E));
    }
    s0 = _mm_add_epi32(s0, save0);
    s1 = _mm_add_epi32(s1, save1);
  }
  t = _mm_shuffle_epi32(s0, 0x1B);   // FEBA
  s1 = _mm_shuffle_epi32(s1, 0xB1);  // DCHG
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(t, s1, 0xF0));  // DCBA
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(s1, t, 8));  // HGFE
}

bool CpuHasSha() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
  const bool sha = b & (1u << 29);
  if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
  return sha && (c & (1u << 19)) && (c & (1u << 9));  // SSE4.1, SSSE3
}
#endif

const bool g_bHardware =
#if defined(__x86_64__)
    CpuHasSha();
#else
    false;
#endif
std::atomic<bool> g_bForcePortable{false};

}  // namespace

void CSha256::Reset() {
  static const uint32_t init[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                   0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::memcpy(h_, init, sizeof h_);
  len_ = 0;
  used_ = 0;
}

bool CSha256::Hardware() { return g_bHardware && !g_bForcePortable.load(std::memory_order_relaxed); }

void CSha256::ForcePortable(bool bOn) { g_bForcePortable.store(bOn); }

void CSha256::Blocks(const uint8_t* p, size_t nBlocks) {
#if defined(__x86_64__)
  if (Hardware()) return HardwareBlocks(h_, p, nBlocks);
#endif
  PortableBlocks(h_, p, nBlocks);
}

void CSha256::Update(const uint8_t* p, size_t n) {
  len_ += n;
  if (used_ > 0) {
    const size_t take = n < sizeof buf_ - used_ ? n : sizeof buf_ - used_;
    std::memcpy(buf_ + used_, p, take);
    used_ += take;
    p += take;
    n -= take;
    if (used_ < sizeof buf_) return;
    Blocks(buf_, 1);
    used_ = 0;
  }
  // Whole blocks straight from the caller's bytes.
  if (n >= 64) {
    Blocks(p, n / 64);
    p += n & ~static_cast<size_t>(63);
    n &= 63;
  }
  std::memcpy(buf_, p, n);
  used_ = n;
}

std::string CSha256::HexDigest() {
  const uint64_t bits = len_ * 8;
  uint8_t tail[72] = {0x80};
  // Padding to 56 bytes past a block boundary, then the length.
  const size_t pad = used_ < 56 ? 56 - used_ : 120 - used_;
  for (int i = 0; i < 8; ++i) tail[pad + i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
  const uint64_t len = len_;
  Update(tail, pad + 8);
  len_ = len;
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (uint32_t w : h_)
    for (int s = 28; s >= 0; s -= 4) out.push_back(hex[(w >> s) & 0xF]);
  return out;
}

std::string Sha256OfFile(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::string();
  CSha256 s;
  std::vector<uint8_t> buf(1 << 16);
  for (;;) {
    ssize_t n = read(fd, buf.data(), buf.size());
    if (n < 0) {
      close(fd);
      return std::string();
    }
    if (n == 0) break;
    s.Update(buf.data(), static_cast<size_t>(n));
  }
  close(fd);
  return s.HexDigest();
}
