#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "console/dialogue.hpp"

namespace hostswitch::testing {

// A fresh directory under the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "hostswitch-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void write_file(const std::filesystem::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

// A clock that always reads the same.
class FakeClock final : public Clock {
 public:
  explicit FakeClock(ClockReading reading) : reading_(reading) {}
  ClockReading now() const override { return reading_; }

 private:
  ClockReading reading_;
};

// Remembers the commands typed at the pause instead of running them; reports `failure` for
// every one.
class FakeShell final : public CommandRunner {
 public:
  std::optional<std::string> run(const std::string& command) override {
    commands.push_back(command);
    return failure;
  }
  std::vector<std::string> commands;
  std::optional<std::string> failure;
};

}  // namespace hostswitch::testing
