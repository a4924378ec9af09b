#include "base/text_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "base/io_failure.hpp"

namespace hostswitch {

std::string read_text_file(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw IoFailure("open", path, errno);
  std::string text;
  char buffer[1 << 16];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      const int error_number = errno;
      ::close(fd);
      throw IoFailure("read", path, error_number);
    }
    if (got == 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  return text;
}

}  // namespace hostswitch
