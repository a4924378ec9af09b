// Arbitrary bytes as the --config file of a sweep: either its flags take their values or the
// file is refused with a UsageError. Any other exception, a crash or undefined behaviour is a
// fault.
#include <CLI/CLI.hpp>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "api/parameter_values.hpp"
#include "console/cli_run.hpp"
#include "console/cli_sweep.hpp"
#include "console/config_file.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  CLI::App program;
  hostswitch::SweepOptions sweep_options;
  hostswitch::RunOptions run_options;
  CLI::App* sweep = hostswitch::setup_sweep(program, sweep_options);
  hostswitch::setup_run(program, run_options);  // so that [run] is another command's section
  std::string path;
  hostswitch::add_config_option(*sweep, path);
  const char* argv[] = {"hostswitch", "sweep", "--sdr", "2"};
  program.parse(4, argv);
  try {
    static_cast<void>(hostswitch::apply_config_text(*sweep, text, "fuzz.toml"));
  } catch (const hostswitch::UsageError&) {
  }
  return 0;
}
