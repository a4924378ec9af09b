#pragma once

#include <atomic>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "base/atomic_file.hpp"

namespace hostswitch {

// Another process holds the lock on a file a sweep wants to write.
class FileBusy : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Whether flock() here reaches other processes (true unless set). A build whose flock()
// locks nothing (WebAssembly under node) says so, and every file a lock would guard is then
// refused before anything is written, but for a pipe or device, written in place unlocked.
void set_file_locks_reach_others(bool reach);

// The process holding a lock (flock) on `path`, from /proc/locks; none when unknown.
std::optional<long> lock_holder(const std::filesystem::path& path);

// A CSV file of one header line and rows in a fixed order, written by one process at a time.
// The file is locked (flock, so two objects of one process exclude each other too) for the
// object's whole life, before anything in it is changed; a file it made and never wrote is
// removed with it. Rows go straight to the file with
// write(2), so whatever a kill leaves behind is complete rows plus at most one torn line.
class OrderedCsvFile {
 public:
  enum class Mode {
    fresh,   // the file is emptied and gets the header
    resume,  // complete rows are kept, a torn last line is cut off
    staged,  // rows go to PATH.tmp, which commit() renames to PATH
    keep,    // locked and read, nothing changed until restart() or keep_whole_rows()
  };
  // Throws FileBusy naming the path and the holder when the file is locked elsewhere, and
  // std::runtime_error when it cannot be opened or holds something other than `header` rows.
  OrderedCsvFile(std::filesystem::path path, std::string header, Mode mode);
  ~OrderedCsvFile();
  OrderedCsvFile(const OrderedCsvFile&) = delete;
  OrderedCsvFile& operator=(const OrderedCsvFile&) = delete;

  // Resume: the complete rows found (after the header); their text is rows_text().
  std::size_t kept_rows() const { return kept_rows_; }
  const std::string& rows_text() const { return kept_text_; }

  // Resume: keeps only the first `rows` kept rows, cutting the file back to them.
  void keep_first_rows(std::size_t rows);
  // Keep: what resume does (cut a torn last line; throws for another kind of file).
  void keep_whole_rows();
  // Empties the file and writes the header.
  void restart();
  // Keep: whether the file starts with the header, or holds nothing but a piece of it.
  bool has_header() const { return has_header_; }
  bool holds_nothing() const { return holds_nothing_; }
  bool regular() const { return regular_; }
  // Device, inode, size and change time: the same text only for the same, unchanged file.
  std::string identity() const;

  // Writes `lines` (whole rows, each ended by a line feed) at the end; throws on failure,
  // leaving a regular file as it was before the call. A write blocked on a pipe gives up once
  // `stop` (set_stop) is set.
  void append(std::string_view lines);
  void set_stop(const std::atomic<bool>* stop) { stop_ = stop; }
  // Staged: flushes to disk and renames the temporary file to its final name.
  void commit();

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  std::filesystem::path written_;  // path_, or the temporary file when staged
  int fd_ = -1;
  std::string header_;
  bool regular_ = false;
  bool has_header_ = false;
  bool holds_nothing_ = false;
  bool created_ = false;     // this object made the file at path_
  bool written_to_ = false;  // and has changed it since
  int temporary_slot_ = -1;  // staged: the temporary a signal removes
  const std::atomic<bool>* stop_ = nullptr;
  std::size_t kept_rows_ = 0;
  std::string kept_text_;
};

// The lock a sweep holds on its summary, taken by anyone else who replaces it (merge --summary),
// for the object's life. Only an existing regular file is locked. Throws FileBusy.
class SummaryLock {
 public:
  explicit SummaryLock(const std::filesystem::path& path);
  ~SummaryLock();
  SummaryLock(const SummaryLock&) = delete;
  SummaryLock& operator=(const SummaryLock&) = delete;

 private:
  int fd_ = -1;
};

// Complete lines of `text`: everything up to and including its last line feed.
std::string_view complete_lines(std::string_view text);

}  // namespace hostswitch
