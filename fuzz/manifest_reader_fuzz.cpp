// Any bytes must either read as a sweep manifest or be refused with std::runtime_error; a
// manifest that reads must write back and make its commands without fault.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>

#include "batch/manifest.hpp"
#include "fuzz/fuzz_file.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto path = hostswitch::fuzz::input_file(bytes, "manifest.json");
  hostswitch::Manifest manifest;
  try {
    manifest = hostswitch::read_manifest(path);
  } catch (const std::runtime_error&) {
    return 0;
  }
  (void)hostswitch::manifest_json(manifest);
  (void)hostswitch::manifest_difference(manifest, manifest, path);
  if (manifest.parts > 0) {
    (void)hostswitch::part_command(manifest, 1);
    (void)hostswitch::part_rows(manifest.rows(), manifest.parts, manifest.parts);
  }
  (void)hostswitch::replicate_command(manifest, hostswitch::grid_point(manifest.lists, 0), 1,
                                      manifest.replicates);
  return 0;
}
