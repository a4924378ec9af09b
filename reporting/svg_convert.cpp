#include "reporting/svg_convert.hpp"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <string>
#include <utility>
#include <vector>

#include "base/io_failure.hpp"

extern char** environ;

namespace hostswitch {

std::optional<ImageFormat> image_format_of(const std::filesystem::path& path) {
  std::string extension = path.extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (extension == ".svg") return ImageFormat::kSvg;
  if (extension == ".pdf") return ImageFormat::kPdf;
  if (extension == ".png") return ImageFormat::kPng;
  return std::nullopt;
}

namespace {

constexpr const char* kTool = "rsvg-convert";

struct Pipe {
  int read = -1;
  int write = -1;
  Pipe() {
    std::array<int, 2> fds{};
    if (::pipe2(fds.data(), O_CLOEXEC) != 0) {
      throw SvgConvertError(std::string(kTool) + ": cannot make a pipe: " + cause_text(errno));
    }
    read = fds[0];
    write = fds[1];
  }
  ~Pipe() {
    if (read >= 0) ::close(read);
    if (write >= 0) ::close(write);
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  static void close(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};

#ifndef __EMSCRIPTEN__

// Starts the tool with its standard input, output and error on the pipes; its process id.
pid_t start_tool(ImageFormat format, double dpi, const Pipe& input, const Pipe& output,
                 const Pipe& errors) {
  const std::string dpi_text = std::to_string(dpi);
  std::vector<std::string> args = {
      kTool,     "--format", format == ImageFormat::kPdf ? "pdf" : "png", "--dpi-x", dpi_text,
      "--dpi-y", dpi_text};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input.read, 0);
  posix_spawn_file_actions_adddup2(&actions, output.write, 1);
  posix_spawn_file_actions_adddup2(&actions, errors.write, 2);
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, kTool, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    throw SvgConvertError(std::string(kTool) +
                          " (Debian package librsvg2-bin) cannot be run: " + cause_text(spawned));
  }
  return pid;
}

// What the tool wrote to its output and to its errors.
struct ToolReply {
  std::string converted;
  std::string said;
};

// Feeds `svg` to the tool and drains its output and errors until it closes them. The tool
// may answer before it has read everything: feeding and draining go together.
ToolReply exchange_with_tool(std::string_view svg, Pipe& input, Pipe& output, Pipe& errors) {
  ToolReply reply;
  std::size_t fed = 0;
  if (svg.empty()) Pipe::close(input.write);
  std::array<char, 65536> buffer{};
  // A tool that stops reading must not kill this process.
  struct sigaction ignore {
  }, previous{};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &previous);
  while (output.read >= 0 || errors.read >= 0) {
    std::array<pollfd, 3> fds{};
    nfds_t n = 0;
    auto watch = [&](int fd, short events) {
      if (fd >= 0) fds[n++] = pollfd{fd, events, 0};
    };
    watch(input.write, POLLOUT);
    watch(output.read, POLLIN);
    watch(errors.read, POLLIN);
    if (::poll(fds.data(), n, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (nfds_t i = 0; i < n; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == input.write) {
        const ssize_t written = ::write(input.write, svg.data() + fed, svg.size() - fed);
        if (written > 0) fed += static_cast<std::size_t>(written);
        if (written < 0 && errno != EINTR && errno != EAGAIN) fed = svg.size();
        if (fed == svg.size()) Pipe::close(input.write);
      } else {
        int& fd = fds[i].fd == output.read ? output.read : errors.read;
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got > 0) {
          (fd == output.read ? reply.converted : reply.said)
              .append(buffer.data(), static_cast<std::size_t>(got));
        } else if (got == 0 || errno != EINTR) {
          Pipe::close(fd);
        }
      }
    }
  }
  Pipe::close(input.write);
  ::sigaction(SIGPIPE, &previous, nullptr);
  return reply;
}

// Waits for the tool to end; what it converted, or SvgConvertError with what it said.
std::string finish_tool(pid_t pid, ToolReply reply) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || reply.converted.empty()) {
    std::string& said = reply.said;
    while (!said.empty() && std::isspace(static_cast<unsigned char>(said.back()))) said.pop_back();
    throw SvgConvertError(std::string(kTool) + " failed" + (said.empty() ? "" : ": " + said));
  }
  return std::move(reply.converted);
}

#endif

}  // namespace

std::string convert_svg(std::string_view svg, ImageFormat format, double dpi) {
  if (format == ImageFormat::kSvg) return std::string(svg);
#ifdef __EMSCRIPTEN__
  // WebAssembly starts no processes.
  (void)dpi;
  throw SvgConvertError(std::string(kTool) +
                        " cannot be run from WebAssembly: write .svg (the native program "
                        "makes .pdf and .png)");
#else
  Pipe input, output, errors;
  const pid_t pid = start_tool(format, dpi, input, output, errors);
  Pipe::close(input.read);
  Pipe::close(output.write);
  Pipe::close(errors.write);
  ToolReply reply = exchange_with_tool(svg, input, output, errors);
  return finish_tool(pid, std::move(reply));
#endif
}

}  // namespace hostswitch
