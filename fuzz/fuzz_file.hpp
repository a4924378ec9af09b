#pragma once

// The readers take a path: each input goes to a file of this process's own, rewritten per input.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

namespace hostswitch::fuzz {

inline std::filesystem::path input_file(std::string_view bytes, std::string_view name) {
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() /
      ("hostswitch-fuzz-" + std::to_string(::getpid()) + "-" + std::string(name));
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) std::abort();
  if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
    std::abort();
  }
  std::fclose(file);
  return path;
}

}  // namespace hostswitch::fuzz
