#include "analysis/provenance.hpp"

#include <nlohmann/json.hpp>

#include "base/atomic_file.hpp"
#include "base/checksum.hpp"
#include "base/text_file.hpp"
#include "batch/manifest.hpp"
#include "hostswitch_version.hpp"
#include "reporting/image_metadata.hpp"

namespace hostswitch {

Provenance summary_provenance(const std::filesystem::path& summary,
                              const std::vector<std::string>& arguments) {
  Provenance provenance;
  provenance.version = HOSTSWITCH_VERSION;
  provenance.command_line = "hostswitch";
  for (const std::string& argument : arguments)
    provenance.command_line += ' ' + shell_quote(argument);
  // A manifest that cannot be read is no manifest here: the report is still the summary's.
  try {
    if (const auto stored = stored_summary_manifest(summary)) {
      Fnv1a hash;
      hash.add(read_text_file(stored->path));
      provenance.manifest = stored->path;
      provenance.manifest_checksum = hash.hex();
      provenance.base_seed = stored->manifest.base_seed;
    }
  } catch (const std::exception&) {
    provenance.manifest.reset();
  }
  return provenance;
}

namespace {

std::string manifest_text(const Provenance& p) {
  return p.manifest ? p.manifest->string() + " (FNV-1a 64 " + p.manifest_checksum + ")" : "none";
}

std::string seed_text(const Provenance& p) {
  return p.base_seed ? std::to_string(*p.base_seed) : "none";
}

}  // namespace

std::string provenance_text(const Provenance& p) {
  return "hostswitch " + p.version + "; manifest " + manifest_text(p) + "; base seed " +
         seed_text(p) + "; command: " + p.command_line;
}

std::string provenance_json(const Provenance& p, const std::filesystem::path& described) {
  nlohmann::ordered_json json;
  json["program"] = "hostswitch";
  json["version"] = p.version;
  json["file"] = described.string();
  json["manifest"] = p.manifest ? nlohmann::ordered_json(p.manifest->string()) : "none";
  json["manifest_checksum"] = p.manifest ? nlohmann::ordered_json(p.manifest_checksum) : "none";
  json["base_seed"] = p.base_seed ? nlohmann::ordered_json(*p.base_seed) : "none";
  json["command_line"] = p.command_line;
  return json.dump(2) + "\n";
}

std::filesystem::path sidecar_path(const std::filesystem::path& table) {
  std::filesystem::path path = table;
  return path += ".json";
}

void write_sidecar(const std::filesystem::path& table, const Provenance& provenance) {
  std::error_code error;
  if (std::filesystem::status(table, error).type() != std::filesystem::file_type::regular) return;
  write_file_atomically(sidecar_path(table), provenance_json(provenance, table));
}

namespace {

ImageFields provenance_fields(const Provenance& p) {
  return {{"version", p.version},
          {"manifest", p.manifest ? p.manifest->string() : "none"},
          {"manifest_checksum", p.manifest ? p.manifest_checksum : "none"},
          {"base_seed", seed_text(p)},
          {"command_line", p.command_line}};
}

}  // namespace

std::string svg_with_provenance(const std::string& svg, const std::string& title,
                                const Provenance& provenance) {
  return svg_with_metadata(svg, title + ". Made by " + provenance_text(provenance),
                           provenance_fields(provenance));
}

std::string png_with_provenance(std::string png, const std::string& title,
                                const Provenance& provenance) {
  return png_with_text(std::move(png), {{"Title", title},
                                        {"Software", "hostswitch " + provenance.version},
                                        {"Comment", provenance_text(provenance)}});
}

std::string pdf_with_provenance(std::string pdf, const std::string& title,
                                const Provenance& provenance) {
  return pdf_with_info(std::move(pdf), {{"Title", title},
                                        {"Subject", provenance_text(provenance)},
                                        {"Creator", "hostswitch " + provenance.version},
                                        {"Keywords", "manifest " + manifest_text(provenance) +
                                                         "; base seed " + seed_text(provenance)}});
}

}  // namespace hostswitch
