#include "base/checksum.hpp"

namespace hostswitch {

void Fnv1a::add(std::string_view bytes) {
  for (const char c : bytes) {
    hash_ ^= static_cast<unsigned char>(c);
    hash_ *= 0x100000001b3ULL;
  }
}

std::string Fnv1a::hex() const {
  std::string text(16, '0');
  std::uint64_t hash = hash_;
  for (int i = 15; i >= 0; --i) {
    text[static_cast<std::size_t>(i)] = "0123456789abcdef"[hash & 0xF];
    hash >>= 4;
  }
  return text;
}

}  // namespace hostswitch
