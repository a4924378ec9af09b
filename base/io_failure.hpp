#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>

namespace hostswitch {

// "<what> failure: <path>: <cause>", the cause being the system's text for `error_number`
// ("No space left on device"); without a cause (0) the text ends at the path.
std::string io_failure_text(std::string_view what, const std::filesystem::path& path,
                            int error_number);

// The system's text for `error_number`, as appended to a message after ": ".
std::string cause_text(int error_number);

class IoFailure : public std::runtime_error {
 public:
  IoFailure(std::string_view what, const std::filesystem::path& path, int error_number)
      : std::runtime_error(io_failure_text(what, path, error_number)) {}
};

// Creates or truncates `path` and writes `text` through open, write and close, so that each
// failure is reported with its own cause; throws IoFailure ("open", "write").
void write_whole_file(const std::filesystem::path& path, std::string_view text);

// Replaces `path` by a file holding `text`: written to a temporary beside it (created
// exclusively, never through a link), synced and renamed over it, so a failure leaves the old
// file whole. A FIFO, device or symbolic link at `path` is written in place instead. Throws
// IoFailure ("open", "write", "rename").
void replace_whole_file(const std::filesystem::path& path, std::string_view text);

// A file written through an ostream whose failures keep their cause: the first failing write
// or close is remembered as "write failure: <path>: <cause>".
class OutputFile {
 public:
  // Creates or truncates the file; throws IoFailure("open", ...).
  explicit OutputFile(const std::filesystem::path& path);
  ~OutputFile();  // writes what is buffered and closes, reporting nothing
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  std::ostream& stream() { return stream_; }
  // Flushes and closes; false if that or any earlier write failed.
  bool close();
  const std::optional<std::string>& failure() const;

 private:
  class Buffer;
  std::unique_ptr<Buffer> buffer_;
  std::ostream stream_;
};

}  // namespace hostswitch
