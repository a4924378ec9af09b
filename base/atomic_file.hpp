#pragma once

#include <atomic>
#include <filesystem>
#include <string_view>

namespace hostswitch {

// Writes all of `text` to `fd`, retrying short and interrupted writes; throws
// IoFailure("write", path, errno). A write blocked on a pipe nobody reads gives up with EINTR
// once `stop` is set (the signal that set it interrupts the write).
void write_all(int fd, std::string_view text, const std::filesystem::path& path,
               const std::atomic<bool>* stop = nullptr);

// A file written whole or not at all. A regular file (or none) at `path` is written through a
// temporary beside it, created exclusively without following links, which commit() syncs and
// renames over `path` before syncing the directory; until then readers see the old file. A FIFO,
// a device or a symbolic link at `path` is written in place, keeping what it is. While a
// temporary exists, SIGINT, SIGTERM and SIGHUP (where nothing else handles them) remove it
// before ending the process as the signal would.
class AtomicFile {
 public:
  // Throws IoFailure("open", path, errno).
  explicit AtomicFile(std::filesystem::path path, const std::atomic<bool>* stop = nullptr);
  ~AtomicFile();  // without commit(): the temporary is removed, `path` is left as it was
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  void write(std::string_view text) { write_all(fd_, text, path_, stop_); }
  // Flushes what is written to the disk now, so commit() has little left to do.
  void sync();
  // Throws IoFailure("write", path, errno) naming the step's cause; the temporary is removed.
  // Without `sync_directory` the caller syncs the directory itself (sync_directory_of).
  void commit(bool sync_directory = true);

  const std::filesystem::path& path() const { return path_; }
  // Empty when written in place.
  const std::filesystem::path& temporary() const { return temporary_; }

 private:
  void discard() noexcept;

  std::filesystem::path path_;
  std::filesystem::path temporary_;
  int fd_ = -1;
  int slot_ = -1;
  const std::atomic<bool>* stop_;
};

// The whole of `text` as the file at `path`, through AtomicFile.
void write_file_atomically(const std::filesystem::path& path, std::string_view text);

// Opens (creating when needed, never following a link there) a temporary file of a fixed name
// that outlives the process, such as a staged part; a symbolic link at the name is removed, not
// followed, and anything else but a regular file refused. Throws IoFailure("open", ...).
int open_fixed_temporary(const std::filesystem::path& path);

// While a temporary created by open_fixed_temporary() is alive, the signals above remove it too.
// Returns a slot for forget_temporary(), or -1 when none is free.
int remember_temporary(const std::filesystem::path& path) noexcept;
void forget_temporary(int slot) noexcept;

// Syncs the directory holding `path`, so a rename into it survives a crash.
void sync_directory_of(const std::filesystem::path& path);

}  // namespace hostswitch
