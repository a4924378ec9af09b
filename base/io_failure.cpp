#include "base/io_failure.hpp"

#include <system_error>

namespace hostswitch {

std::string cause_text(int error_number) { return std::generic_category().message(error_number); }

std::string io_failure_text(std::string_view what, const std::filesystem::path& path,
                            int error_number) {
  std::string text = std::string(what) + " failure: " + path.string();
  if (error_number != 0) text += ": " + cause_text(error_number);
  return text;
}

std::string quoted_field(std::string_view field) {
  constexpr std::size_t kShown = 80;
  std::string text = "'";
  for (const char c : field.substr(0, kShown)) {
    // Control characters (a NUL among them) are shown, not written to the terminal.
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
      static constexpr char kHex[] = "0123456789abcdef";
      text += "\\x";
      text += kHex[(static_cast<unsigned char>(c) >> 4) & 0xf];
      text += kHex[static_cast<unsigned char>(c) & 0xf];
    } else {
      text += c;
    }
  }
  text += '\'';
  if (field.size() > kShown) text += " (" + std::to_string(field.size()) + " characters)";
  return text;
}

}  // namespace hostswitch
