#pragma once

#include <string>
#include <vector>

namespace hostswitch {

// Exit status of a sweep stopped by a signal; the caller turns it into 128 + the signal.
inline constexpr int kSweepInterrupted = -1;
// Exit status of a merge of a run directory some of whose rows are missing.
inline constexpr int kRowsMissing = 3;

// What a sweep or merge did, for the command line (or a package) to tell its user in its own
// voice: the closing line (on success) or the reason it stopped, and warnings along the way.
// Neither carries the program's name or a line end.
struct CommandReport {
  int status = 0;  // 0, 1 (a failure), kSweepInterrupted or kRowsMissing
  std::string message;
  std::vector<std::string> warnings;
};

}  // namespace hostswitch
