#pragma once

// Where an output of `report` came from: the program's version, the sweep's manifest beside
// the summary (its checksum), the sweep's base seed and the command line that made it. The
// page, the tables' sidecars and every figure file carry it.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace hostswitch {

struct Provenance {
  std::string version;
  std::optional<std::filesystem::path> manifest;  // none: no manifest beside the summary
  std::string manifest_checksum;                  // FNV-1a 64 of its bytes, 16 hex digits
  std::optional<std::int32_t> base_seed;          // from the manifest
  std::string command_line;                       // as a shell would take it
};

// Of the summary at `summary`: its manifest (SUMMARY.json, or the name of earlier versions)
// and base seed when there is one; `arguments` are the program's after its name.
Provenance summary_provenance(const std::filesystem::path& summary,
                              const std::vector<std::string>& arguments);

// "hostswitch 0.4.0; manifest summary.csv.json (FNV-1a 64 0123456789abcdef); base seed 7;
// command: hostswitch report summary.csv", with "none" for what is not known.
std::string provenance_text(const Provenance& provenance);
// The same as a JSON object, the sidecar of `described` (a table the command wrote).
std::string provenance_json(const Provenance& provenance, const std::filesystem::path& described);
// table.csv -> table.csv.json
std::filesystem::path sidecar_path(const std::filesystem::path& table);
// Writes provenance_json of `table` beside it, whole or not at all; a table sent to a pipe or
// device (/dev/stdout) has nothing beside it and gets none.
void write_sidecar(const std::filesystem::path& table, const Provenance& provenance);

// A figure file with its provenance in it: the SVG's <desc> and <metadata>, a PNG's text
// chunks, a PDF's document information.
std::string svg_with_provenance(const std::string& svg, const std::string& title,
                                const Provenance& provenance);
std::string png_with_provenance(std::string png, const std::string& title,
                                const Provenance& provenance);
std::string pdf_with_provenance(std::string pdf, const std::string& title,
                                const Provenance& provenance);

}  // namespace hostswitch
