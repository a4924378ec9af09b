#pragma once

#include <filesystem>
#include <string>

namespace hostswitch {

// The bytes of a file; throws IoFailure("read", ...) naming the path and the cause when it
// cannot be read.
std::string read_text_file(const std::filesystem::path& path);

}  // namespace hostswitch
