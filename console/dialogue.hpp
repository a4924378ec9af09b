#pragma once

#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>

namespace hostswitch {

struct ClockReading {
  std::int64_t seconds_since_epoch = 0;
  int milliseconds = 0;  // of the current second, 0 to 999
};

class Clock {
 public:
  virtual ~Clock() = default;
  virtual ClockReading now() const = 0;
};

class SystemClock final : public Clock {
 public:
  ClockReading now() const override;
};

// Runs a line typed at the closing pause. Returns why the command could not be run at all
// (too long for the system, no shell), or nothing: the command's own status is the user's
// business.
class CommandRunner {
 public:
  virtual ~CommandRunner() = default;
  virtual std::optional<std::string> run(const std::string& command) = 0;
};

class SystemShell final : public CommandRunner {
 public:
  std::optional<std::string> run(const std::string& command) override;
};

struct DialogueOptions {
  // Seeds the stream from this clock count instead of reading the clock.
  std::optional<std::int32_t> seed_count;
};

// The whole interactive program: banner, the eight questions, the run with its results file
// in `directory`, the closing texts and the pause. Returns the process exit status; fatal
// errors are written to `err`.
int run_dialogue(std::istream& in, std::ostream& out, std::ostream& err, const Clock& clock,
                 const std::filesystem::path& directory, CommandRunner& shell,
                 const DialogueOptions& options = {});

}  // namespace hostswitch
