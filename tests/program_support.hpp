#pragma once

// The built program started directly, as a shell would start it but with SIGINT not ignored.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/test_support.hpp"

extern char** environ;

namespace hostswitch::testing {

// The program with `args`, run in `directory`, its standard output and error in `messages`;
// killed when it goes out of scope.
class Child {
 public:
  Child(const std::vector<std::string>& args, const std::filesystem::path& directory,
        const std::filesystem::path& messages) {
    std::vector<char*> argv;
    std::vector<std::string> words = {HOSTSWITCH_EXECUTABLE};
    words.insert(words.end(), args.begin(), args.end());
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
    // Standard output and error both go to `messages`.
    posix_spawn_file_actions_addopen(&actions, 1, messages.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Child() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      wait();
    }
  }
  pid_t pid() const { return pid_; }
  int wait() {
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  pid_t pid_ = -1;
};

inline int run_program(const std::vector<std::string>& args,
                       const std::filesystem::path& directory) {
  Child child(args, directory, directory / "err.txt");
  return child.wait();
}

inline std::size_t lines_in(const std::filesystem::path& path) {
  const std::string text = read_file(path);
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// Waits (at most about 30 s) until `path` holds `lines` lines.
inline bool wait_for_lines(const std::filesystem::path& path, std::size_t lines) {
  for (int i = 0; i < 30000; ++i) {
    if (lines_in(path) >= lines) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

// Runs that mostly survive their 2,000 generations: a few milliseconds each.
inline const std::vector<std::string> kSlowSweep = {"--max-dist",  "0.1",  "--sdr",       "3",
                                                    "--emig-rate", "0.01", "--n-gen",     "2000",
                                                    "--seed",      "5",    "--replicates"};

// `hostswitch sweep` of them with two jobs into `summary`.
inline std::vector<std::string> slow_sweep(std::size_t replicates, const std::string& summary) {
  std::vector<std::string> args = {"sweep"};
  args.insert(args.end(), kSlowSweep.begin(), kSlowSweep.end());
  args.push_back(std::to_string(replicates));
  args.insert(args.end(), {"--jobs", "2", "--summary", summary});
  return args;
}

inline bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

}  // namespace hostswitch::testing
