#include "base/io_failure.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>
#include <streambuf>
#include <system_error>
#include <vector>

namespace hostswitch {

namespace {

// Writes all of [data, data + size); the errno of the failing write, or 0.
int write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return 0;
}

int open_for_writing(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) throw IoFailure("open", path, errno);
  return fd;
}

}  // namespace

std::string cause_text(int error_number) { return std::generic_category().message(error_number); }

std::string io_failure_text(std::string_view what, const std::filesystem::path& path,
                            int error_number) {
  std::string text = std::string(what) + " failure: " + path.string();
  if (error_number != 0) text += ": " + cause_text(error_number);
  return text;
}

void write_whole_file(const std::filesystem::path& path, std::string_view text) {
  const int fd = open_for_writing(path);
  const int write_error = write_all(fd, text.data(), text.size());
  // close() reports what a delayed write (network file systems, quotas) could not store.
  const int close_error = ::close(fd) == 0 ? 0 : errno;
  if (write_error != 0) throw IoFailure("write", path, write_error);
  if (close_error != 0 && close_error != EINTR) throw IoFailure("write", path, close_error);
}

void replace_whole_file(const std::filesystem::path& path, std::string_view text) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode)) {
    write_whole_file(path, text);
    return;
  }
  std::random_device seed;
  std::filesystem::path temporary;
  int fd = -1;
  for (int attempt = 0; fd < 0; ++attempt) {
    temporary = path;
    temporary += ".tmp-" + std::to_string(seed());
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0 && (errno != EEXIST || attempt == 100)) throw IoFailure("open", path, errno);
  }
  int error = write_all(fd, text.data(), text.size());
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0 && errno != EINTR) error = errno;
  if (error == 0 && std::rename(temporary.c_str(), path.c_str()) != 0) {
    error = errno;
    ::unlink(temporary.c_str());
    throw IoFailure("rename", path, error);
  }
  if (error != 0) {
    ::unlink(temporary.c_str());
    throw IoFailure("write", path, error);
  }
}

class OutputFile::Buffer final : public std::streambuf {
 public:
  explicit Buffer(const std::filesystem::path& path)
      : path_(path), fd_(open_for_writing(path)), space_(std::size_t{1} << 16) {
    setp(space_.data(), space_.data() + space_.size());
  }
  ~Buffer() override {
    if (fd_ < 0) return;
    sync();  // best effort: a destructor reports nothing
    ::close(fd_);
  }

  bool close() {
    if (fd_ < 0) return !failure_;
    sync();
    if (::close(fd_) != 0 && errno != EINTR) fail(errno);
    fd_ = -1;
    return !failure_;
  }
  const std::optional<std::string>& failure() const { return failure_; }

 protected:
  int_type overflow(int_type c) override {
    if (sync() != 0) return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(c);
      pbump(1);
    }
    return traits_type::not_eof(c);
  }
  int sync() override {
    if (failure_ || fd_ < 0) return -1;
    const int error = write_all(fd_, pbase(), static_cast<std::size_t>(pptr() - pbase()));
    setp(space_.data(), space_.data() + space_.size());
    if (error != 0) {
      fail(error);
      return -1;
    }
    return 0;
  }

 private:
  void fail(int error_number) {
    if (!failure_) failure_ = io_failure_text("write", path_, error_number);
  }

  std::filesystem::path path_;
  int fd_;
  std::vector<char> space_;
  std::optional<std::string> failure_;
};

OutputFile::OutputFile(const std::filesystem::path& path)
    : buffer_(std::make_unique<Buffer>(path)), stream_(buffer_.get()) {}

OutputFile::~OutputFile() = default;

bool OutputFile::close() {
  stream_.flush();
  return buffer_->close();
}

const std::optional<std::string>& OutputFile::failure() const { return buffer_->failure(); }

}  // namespace hostswitch
