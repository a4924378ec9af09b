#include "batch/ordered_csv.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "base/atomic_file.hpp"
#include "base/io_failure.hpp"

namespace hostswitch {

namespace {

std::atomic<bool> g_locks_reach_others{true};

IoFailure write_failure(const std::filesystem::path& path) {
  return IoFailure("write", path, errno);
}

std::string read_all(int fd, const std::filesystem::path& path) {
  std::string text;
  char buffer[1 << 16];
  for (off_t offset = 0;;) {
    const ssize_t got = ::pread(fd, buffer, sizeof buffer, offset);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw IoFailure("read", path, errno);
    }
    if (got == 0) return text;
    text.append(buffer, static_cast<std::size_t>(got));
    offset += got;
  }
}

// Opens (creating, never truncating) and locks `path`; truncation is the caller's, after this.
// A staged file's temporary name is never followed through a link. `created` tells whether
// this call made the file.
int open_locked(const std::filesystem::path& path, bool temporary, int flags = O_RDWR | O_CREAT,
                bool* created = nullptr) {
  if (!g_locks_reach_others.load()) {
    struct stat status {};
    // A pipe or device keeps nothing another writer could spoil; a file would be shared unlocked.
    if (temporary || ::stat(path.c_str(), &status) != 0 || S_ISREG(status.st_mode)) {
      throw std::runtime_error(
          path.string() +
          ": not written, as this build of hostswitch cannot lock it against another "
          "sweep or merge; write it with the native program, or give a pipe");
    }
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
    if (fd < 0) throw IoFailure("open", path, errno);
    return fd;
  }
  int fd = -1;
  if (temporary) {
    fd = open_fixed_temporary(path);
  } else if ((flags & O_CREAT) != 0 && created != nullptr) {
    fd = ::open(path.c_str(), flags | O_EXCL | O_CLOEXEC, 0666);
    *created = fd >= 0;
    if (fd < 0 && errno == EEXIST) fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
  } else {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
  }
  if (fd < 0) throw IoFailure("open", path, errno);
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    ::close(fd);
    if (error != EWOULDBLOCK) throw IoFailure("lock", path, error);
    const auto holder = lock_holder(path);
    throw FileBusy(
        path.string() + " is being written by " +
        (holder ? "process " + std::to_string(*holder) : std::string("another process")) +
        "; only one sweep or merge may write it at a time");
  }
  return fd;
}

std::size_t count_lines(std::string_view text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

}  // namespace

void set_file_locks_reach_others(bool reach) { g_locks_reach_others = reach; }

std::optional<long> lock_holder(const std::filesystem::path& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return std::nullopt;
  std::ifstream locks("/proc/locks");
  std::string line;
  std::optional<long> by_inode;
  while (std::getline(locks, line)) {
    std::istringstream words(line);
    std::string id, kind, advisory, mode, device;
    long pid = 0;
    words >> id >> kind;
    if (kind == "->") continue;  // a waiter, not the holder
    words >> advisory >> mode >> pid >> device;
    if (!words || kind != "FLOCK") continue;
    unsigned lock_major = 0, lock_minor = 0;
    unsigned long inode = 0;
    if (std::sscanf(device.c_str(), "%x:%x:%lu", &lock_major, &lock_minor, &inode) != 3) continue;
    if (inode != status.st_ino) continue;
    // Unqualified: some C libraries make major and minor macros.
    if (lock_major == major(status.st_dev) && lock_minor == minor(status.st_dev)) return pid;
    by_inode = pid;  // overlay file systems report another device
  }
  return by_inode;
}

OrderedCsvFile::OrderedCsvFile(std::filesystem::path path, std::string header, Mode mode)
    : path_(std::move(path)), header_(std::move(header)) {
  written_ = path_;
  if (mode == Mode::staged) written_ += ".tmp";
  fd_ = open_locked(written_, mode == Mode::staged, O_RDWR | O_CREAT, &created_);
  if (mode == Mode::staged) temporary_slot_ = remember_temporary(written_);
  try {
    struct stat status {};
    regular_ = ::fstat(fd_, &status) == 0 && S_ISREG(status.st_mode);
    const bool read = mode == Mode::resume || mode == Mode::keep;
    if (read && !regular_ && mode == Mode::resume) {
      throw std::runtime_error(path_.string() +
                               ": not a regular file, so it holds no rows to keep");
    }
    std::string text = read && regular_ ? read_all(fd_, written_) : std::string();
    has_header_ = text.compare(0, header_.size(), header_) == 0;
    // Empty, or cut short inside the header: nothing lost by writing the header again.
    holds_nothing_ =
        !has_header_ && text.size() < header_.size() && header_.compare(0, text.size(), text) == 0;
    if (has_header_) {
      const std::string_view rows = complete_lines(std::string_view(text).substr(header_.size()));
      kept_text_ = std::string(rows);
      kept_rows_ = count_lines(rows);
    }
    if (mode == Mode::keep) {
      if (::lseek(fd_, 0, SEEK_END) < 0 && regular_) throw write_failure(written_);
    } else if (mode == Mode::resume) {
      keep_whole_rows();
    } else {
      restart();
    }
  } catch (...) {
    if (created_ && !written_to_) ::unlink(written_.c_str());
    ::close(fd_);
    forget_temporary(temporary_slot_);
    throw;
  }
}

std::string OrderedCsvFile::identity() const {
  struct stat status {};
  if (::fstat(fd_, &status) != 0) return {};
  return std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino) + ":" +
         std::to_string(status.st_size) + ":" + std::to_string(status.st_mtim.tv_sec) + "." +
         std::to_string(status.st_mtim.tv_nsec);
}

void OrderedCsvFile::keep_whole_rows() {
  if (!has_header_ && !holds_nothing_) {
    throw std::runtime_error(path_.string() +
                             ": not a summary of this kind (its first line is not the header)");
  }
  if (!has_header_) {
    restart();
    return;
  }
  // A torn last line is cut off.
  const auto keep = static_cast<off_t>(header_.size() + kept_text_.size());
  if (regular_ && (::ftruncate(fd_, keep) != 0 || ::lseek(fd_, 0, SEEK_END) < 0)) {
    throw write_failure(written_);
  }
}

void OrderedCsvFile::restart() {
  // Only a regular file can be cut back; a device or pipe is written as it is.
  if (regular_ && (::ftruncate(fd_, 0) != 0 || ::lseek(fd_, 0, SEEK_SET) < 0)) {
    throw write_failure(written_);
  }
  written_to_ = true;
  kept_text_.clear();
  kept_rows_ = 0;
  has_header_ = true;
  holds_nothing_ = false;
  write_all(fd_, header_, written_, stop_);
}

OrderedCsvFile::~OrderedCsvFile() {
  // A file this object made but never wrote (a refusal, a failure before the first row) goes
  // with it, unlinked while still locked.
  if (created_ && !written_to_ && temporary_slot_ < 0) ::unlink(written_.c_str());
  if (fd_ >= 0) ::close(fd_);
  // A staged file never committed is of no use to anyone.
  if (temporary_slot_ >= 0) ::unlink(written_.c_str());
  forget_temporary(temporary_slot_);
}

void OrderedCsvFile::keep_first_rows(std::size_t rows) {
  if (rows >= kept_rows_) return;
  std::size_t size = 0;
  for (std::size_t row = 0; row < rows; ++row) size = kept_text_.find('\n', size) + 1;
  if (::ftruncate(fd_, static_cast<off_t>(header_.size() + size)) != 0 ||
      ::lseek(fd_, 0, SEEK_END) < 0) {
    throw write_failure(written_);
  }
  kept_text_.resize(size);
  kept_rows_ = rows;
}

void OrderedCsvFile::append(std::string_view lines) {
  written_to_ = true;
  const off_t before = regular_ ? ::lseek(fd_, 0, SEEK_CUR) : -1;
  try {
    write_all(fd_, lines, written_, stop_);
  } catch (...) {
    // Back to whole rows, so the file holds exactly the rows reported as written.
    if (before >= 0 && ::ftruncate(fd_, before) == 0) ::lseek(fd_, before, SEEK_SET);
    throw;
  }
}

void OrderedCsvFile::commit() {
  if (::fsync(fd_) != 0 && regular_) throw write_failure(written_);
  if (written_ != path_) {
    if (::rename(written_.c_str(), path_.c_str()) != 0) {
      throw std::runtime_error("cannot rename " + written_.string() + " to " + path_.string() +
                               ": " + cause_text(errno));
    }
    forget_temporary(temporary_slot_);
    temporary_slot_ = -1;
    sync_directory_of(path_);
  }
}

SummaryLock::SummaryLock(const std::filesystem::path& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return;
  fd_ = open_locked(path, false, O_RDONLY);
}

SummaryLock::~SummaryLock() {
  if (fd_ >= 0) ::close(fd_);
}

std::string_view complete_lines(std::string_view text) {
  const std::size_t last = text.rfind('\n');
  return last == std::string_view::npos ? std::string_view() : text.substr(0, last + 1);
}

}  // namespace hostswitch
