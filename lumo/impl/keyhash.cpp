// lumo: SipHash-1-3 over a name, keyed per process. The key comes from the sixteen random bytes
// the kernel hands every process, mixed with an address and the clock so that a libc without
// them still gets a key that differs from run to run.
#include "keyhash.hpp"

#include <sys/auxv.h>

#include <chrono>
#include <cstdint>
#include <cstring>

#include "str.hpp"

namespace {

struct Key {
  std::uint64_t k0;
  std::uint64_t k1;
};

std::uint64_t rotl(std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

// A 64-bit finaliser (splitmix64), so weak inputs spread over the whole key.
std::uint64_t mix(std::uint64_t z) {
  z += 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

Key drawKey() noexcept {
  std::uint64_t bytes[2] = {0, 0};
  unsigned long at = getauxval(AT_RANDOM);
  if (at) std::memcpy(bytes, reinterpret_cast<const void *>(at), sizeof bytes);
  static int anchor;
  auto now = static_cast<std::uint64_t>(
      std::chrono::steady_clock::now().time_since_epoch().count());
  auto where = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&anchor));
  return Key{mix(bytes[0] ^ now), mix(bytes[1] ^ where ^ rotl(now, 32))};
}

const Key &key() noexcept {
  static const Key k = drawKey();
  return k;
}

struct State {
  std::uint64_t v0, v1, v2, v3;

  void round() {
    v0 += v1;
    v1 = rotl(v1, 13);
    v1 ^= v0;
    v0 = rotl(v0, 32);
    v2 += v3;
    v3 = rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotl(v1, 17);
    v1 ^= v2;
    v2 = rotl(v2, 32);
  }
  void absorb(std::uint64_t m) {
    v3 ^= m;
    round();
    v0 ^= m;
  }
};

unsigned char foldByte(unsigned char c, bool foldCase) {
  return foldCase && c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

}  // namespace

unsigned lumo::keyedHash(const char *text, bool foldCase) noexcept {
  const Key &k = key();
  State s{k.k0 ^ 0x736F6D6570736575ull, k.k1 ^ 0x646F72616E646F6Dull,
          k.k0 ^ 0x6C7967656E657261ull, k.k1 ^ 0x7465646279746573ull};
  const unsigned char *p = reinterpret_cast<const unsigned char *>(lumo::orEmpty(text));
  std::uint64_t length = 0;
  std::uint64_t word = 0;
  int filled = 0;
  for (; *p; ++p, ++length) {
    word |= static_cast<std::uint64_t>(foldByte(*p, foldCase)) << (8 * filled);
    if (++filled == 8) {
      s.absorb(word);
      word = 0;
      filled = 0;
    }
  }
  s.absorb(word | (length << 56));
  s.v2 ^= 0xFF;
  s.round();
  s.round();
  s.round();
  std::uint64_t h = s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
  return static_cast<unsigned>(h ^ (h >> 32));
}
