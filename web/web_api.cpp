// What the page's worker calls: the command line itself, on the worker's in-memory file
// system, with its standard output and error captured and its progress passed on.
#include <emscripten/bind.h>
#include <emscripten/heap.h>
#include <emscripten/val.h>

#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "console/command_line.hpp"
#include "console/dialogue.hpp"
#include "model/memory_budget.hpp"

namespace {

// Nothing here reaches the closing pause, and a page has no shell to hand a line to.
class NoShell final : public hostswitch::CommandRunner {
 public:
  std::optional<std::string> run(const std::string&) override {
    return std::string("the command could not be run: a page has no shell");
  }
};

// Runs `hostswitch <args>`; `on_progress(done, total)` is called as the work advances.
// Returns {status, out, err}.
emscripten::val command(const emscripten::val& js_args, const emscripten::val& on_progress) {
  hostswitch::MemoryBudget::set_limit(emscripten_get_heap_max());
  const std::vector<std::string> args = emscripten::vecFromJSArray<std::string>(js_args);
  std::istringstream in;
  std::ostringstream out;
  std::ostringstream err;
  const hostswitch::SystemClock clock;
  NoShell shell;
  std::error_code error;
  std::filesystem::path directory = std::filesystem::current_path(error);
  if (error) directory = "/";
  hostswitch::CommandLineContext context{in, out, err, clock, shell, directory};
  if (on_progress.typeOf().as<std::string>() == "function") {
    context.on_progress = [&on_progress](std::int64_t done, std::int64_t total) {
      on_progress(static_cast<double>(done), static_cast<double>(total));
    };
  }
  const int status = hostswitch::command_line_main(args, context);
  emscripten::val result = emscripten::val::object();
  result.set("status", status);
  result.set("out", out.str());
  result.set("err", err.str());
  return result;
}

}  // namespace

EMSCRIPTEN_BINDINGS(hostswitch) { emscripten::function("command", &command); }
