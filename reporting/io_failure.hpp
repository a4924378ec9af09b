#pragma once

// The console's old name for the whole-file writer, until its commands include base/ directly.
#include "base/atomic_file.hpp"
#include "base/io_failure.hpp"

namespace hostswitch {

inline void write_whole_file(const std::filesystem::path& path, std::string_view text) {
  write_file_atomically(path, text);
}

}  // namespace hostswitch
