#include "base/atomic_file.hpp"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <string>

#include "base/io_failure.hpp"

namespace hostswitch {

namespace {

// Temporaries a signal must remove: slots a handler reads without locks.
struct TemporarySlot {
  std::atomic<bool> claimed{false};
  std::atomic<bool> ready{false};
  char path[PATH_MAX]{};
};
constexpr std::size_t kSlots = 64;
std::array<TemporarySlot, kSlots> g_temporaries;
static_assert(std::atomic<bool>::is_always_lock_free);

constexpr std::array<int, 3> kEndingSignals = {SIGINT, SIGTERM, SIGHUP};

extern "C" void remove_temporaries_and_end(int signal_number) {
  for (TemporarySlot& slot : g_temporaries) {
    if (slot.ready.load()) ::unlink(slot.path);
  }
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);  // delivered as this handler returns
}

// Only signals left at their default: a sweep's own stop handler removes its files itself, and
// an ignored signal stays ignored.
void handle_ending_signals() noexcept {
  for (const int signal_number : kEndingSignals) {
    struct sigaction current {};
    if (::sigaction(signal_number, nullptr, &current) != 0) continue;
    if ((current.sa_flags & SA_SIGINFO) != 0 || current.sa_handler != SIG_DFL) continue;
    struct sigaction handler {};
    handler.sa_handler = remove_temporaries_and_end;
    sigemptyset(&handler.sa_mask);
    for (const int other : kEndingSignals) sigaddset(&handler.sa_mask, other);
    ::sigaction(signal_number, &handler, nullptr);
  }
}

// The mode a new file gets: what open(..., 0666) would give under the process's umask.
mode_t new_file_mode() {
#if defined(__EMSCRIPTEN__)
  // The page's in-memory file system keeps no umask to honour; its files are the page's own.
  return static_cast<mode_t>(0666);
#else
  static const mode_t mode = [] {
    const mode_t mask = ::umask(022);
    ::umask(mask);
    return static_cast<mode_t>(0666 & ~mask);
  }();
  return mode;
#endif
}

std::string unique_suffix() {
  static std::atomic<unsigned> counter{0};
  const auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
  return ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1)) + "-" +
         std::to_string(static_cast<unsigned long long>(ticks) % 1000000007ULL);
}

std::filesystem::path directory_of(const std::filesystem::path& path) {
  return path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
}

}  // namespace

void write_all(int fd, std::string_view text, const std::filesystem::path& path,
               const std::atomic<bool>* stop) {
  while (!text.empty()) {
    const ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0) {
      if (errno == EINTR && !(stop != nullptr && stop->load())) continue;
      throw IoFailure("write", path, errno);
    }
    text.remove_prefix(static_cast<std::size_t>(written));
  }
}

int remember_temporary(const std::filesystem::path& path) noexcept {
  const std::string& name = path.native();
  if (name.size() >= PATH_MAX) return -1;
  handle_ending_signals();
  for (std::size_t i = 0; i < kSlots; ++i) {
    bool expected = false;
    if (!g_temporaries[i].claimed.compare_exchange_strong(expected, true)) continue;
    std::memcpy(g_temporaries[i].path, name.c_str(), name.size() + 1);
    g_temporaries[i].ready.store(true);
    return static_cast<int>(i);
  }
  return -1;
}

void forget_temporary(int slot) noexcept {
  if (slot < 0) return;
  g_temporaries[static_cast<std::size_t>(slot)].ready.store(false);
  g_temporaries[static_cast<std::size_t>(slot)].claimed.store(false);
}

void sync_directory_of(const std::filesystem::path& path) {
  const std::filesystem::path directory = directory_of(path);
  const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;  // nothing to sync through (some file systems refuse): the rename stands
  const int result = ::fsync(fd);
  const int error = errno;
  ::close(fd);
  // Directories of some file systems cannot be synced at all; that is no failure of the write.
  if (result != 0 && error != EINVAL && error != EROFS && error != ENOTSUP) {
    throw IoFailure("write", path, error);
  }
}

AtomicFile::AtomicFile(std::filesystem::path path, const std::atomic<bool>* stop)
    : path_(std::move(path)), stop_(stop) {
  struct stat status {};
  const bool exists = ::lstat(path_.c_str(), &status) == 0;
  if (exists && !S_ISREG(status.st_mode)) {
    // A rename would replace the node itself (-o /dev/null, a FIFO, a link): written in place.
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd_ < 0) throw IoFailure("open", path_, errno);
    return;
  }
  if (exists) {
    // A file this process may not write (read-only, immutable) is not replaced behind its back.
    const int probe = ::open(path_.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (probe < 0) throw IoFailure("open", path_, errno);
    ::close(probe);
  }
  const mode_t mode = exists ? (status.st_mode & 07777) : new_file_mode();
  for (int attempt = 0; fd_ < 0; ++attempt) {
    temporary_ = path_;
    temporary_ += unique_suffix();
    // Registered before it exists, so no moment leaves it behind a signal.
    slot_ = remember_temporary(temporary_);
    fd_ = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd_ >= 0) break;
    const int error = errno;
    forget_temporary(slot_);
    slot_ = -1;
    if (error != EEXIST || attempt >= 100) {
      temporary_.clear();
      throw IoFailure("open", path_, error);
    }
  }
  if (::fchmod(fd_, mode) != 0) {
    const int error = errno;
    discard();
    throw IoFailure("open", path_, error);
  }
}

AtomicFile::~AtomicFile() { discard(); }

void AtomicFile::discard() noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!temporary_.empty()) ::unlink(temporary_.c_str());
  temporary_.clear();
  forget_temporary(slot_);
  slot_ = -1;
}

void AtomicFile::sync() {
  if (!temporary_.empty() && ::fsync(fd_) != 0) {
    const int error = errno;
    discard();
    throw IoFailure("write", path_, error);
  }
}

void AtomicFile::commit(bool sync_directory) {
  if (fd_ < 0) throw IoFailure("write", path_, EBADF);
  int error = 0;
  // A device or a pipe cannot be synced (EINVAL); what it took is its own business.
  if (::fsync(fd_) != 0 && !(temporary_.empty() && (errno == EINVAL || errno == EROFS))) {
    error = errno;
  }
  // close() reports what a delayed write (network file systems, quotas) could not store.
  if (::close(fd_) != 0 && errno != EINTR && error == 0) error = errno;
  fd_ = -1;
  if (error == 0 && !temporary_.empty() && ::rename(temporary_.c_str(), path_.c_str()) != 0) {
    error = errno;
  }
  if (error != 0) {
    discard();
    throw IoFailure("write", path_, error);
  }
  if (temporary_.empty()) return;
  temporary_.clear();
  forget_temporary(slot_);
  slot_ = -1;
  if (sync_directory) sync_directory_of(path_);
}

void write_file_atomically(const std::filesystem::path& path, std::string_view text) {
  AtomicFile file(path);
  file.write(text);
  file.commit();
}

int open_fixed_temporary(const std::filesystem::path& path) {
  for (int attempt = 0;; ++attempt) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
      struct stat status {};
      if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        throw IoFailure("open", path, EEXIST);
      }
      return fd;
    }
    const int error = errno;
    struct stat status {};
    // A link planted at the temporary's name is taken away, never written through.
    if (error == ELOOP && attempt == 0 && ::lstat(path.c_str(), &status) == 0 &&
        S_ISLNK(status.st_mode) && ::unlink(path.c_str()) == 0) {
      continue;
    }
    throw IoFailure("open", path, error);
  }
}

}  // namespace hostswitch
