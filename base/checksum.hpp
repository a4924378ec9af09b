#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace hostswitch {

// The 64-bit FNV-1a hash of bytes added piece by piece, as 16 hex digits: a design's rows and a
// sweep's manifest are told apart by it, not kept safe from anyone.
class Fnv1a {
 public:
  void add(std::string_view bytes);
  std::string hex() const;

 private:
  std::uint64_t hash_ = 0xcbf29ce484222325ULL;
};

}  // namespace hostswitch
