#include "reporting/image_metadata.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>

#include "base/svg_writer.hpp"

namespace hostswitch {

std::string svg_with_metadata(std::string svg, std::string_view description,
                              const ImageFields& fields) {
  const std::size_t root = svg.find("<svg");
  if (root == std::string::npos) return svg;
  // Attribute values are escaped, so the first '>' ends the start tag.
  const std::size_t end = svg.find('>', root);
  if (end == std::string::npos) return svg;
  std::string inserted = "\n<desc>" + xml_escape(description) + "</desc>\n<metadata>";
  inserted += "<hs:provenance xmlns:hs=\"urn:hostswitch:provenance\"";
  for (const auto& [key, value] : fields) {
    inserted += ' ' + key + "=\"" + xml_escape(value) + '"';
  }
  inserted += "/></metadata>";
  svg.insert(end + 1, inserted);
  return svg;
}

namespace {

std::uint32_t crc32(std::string_view bytes) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (const char c : bytes) {
    crc ^= static_cast<unsigned char>(c);
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return crc ^ 0xFFFFFFFFu;
}

void append_u32(std::string& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) {
    out += static_cast<char>((value >> shift) & 0xFFu);
  }
}

bool ascii(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80 || c == '\0') return false;
  }
  return true;
}

}  // namespace

std::string png_with_text(std::string png, const ImageFields& fields) {
  constexpr std::string_view kSignature("\x89PNG\r\n\x1a\n", 8);
  // The header chunk: 4 bytes of length, "IHDR", 13 bytes of data, 4 of CRC.
  constexpr std::size_t kAfterHeader = 8 + 4 + 4 + 13 + 4;
  if (png.size() < kAfterHeader || std::string_view(png).substr(0, 8) != kSignature ||
      png.compare(12, 4, "IHDR") != 0) {
    throw std::runtime_error("not a PNG image");
  }
  std::string chunks;
  for (const auto& [key, value] : fields) {
    // A keyword is 1 to 79 Latin-1 characters; ours are plain ASCII words.
    const bool plain = ascii(value);
    std::string body = plain ? "tEXt" : "iTXt";
    body += key.substr(0, 79);
    body += '\0';
    if (!plain) body += std::string("\0\0\0\0", 4);  // uncompressed, no language, no translation
    body += value;
    append_u32(chunks, static_cast<std::uint32_t>(body.size() - 4));
    chunks += body;
    append_u32(chunks, crc32(body));
  }
  png.insert(kAfterHeader, chunks);
  return png;
}

namespace {

// A PDF text string: UTF-16BE with its byte order mark, in hex, so any text is safe.
std::string pdf_text(std::string_view utf8) {
  std::string out = "<FEFF";
  constexpr std::array<char, 16> kHex = {'0', '1', '2', '3', '4', '5', '6', '7',
                                         '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};
  auto unit = [&](std::uint32_t u) {
    for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(u >> shift) & 0xFu];
  };
  for (std::size_t i = 0; i < utf8.size();) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(utf8[k]); };
    std::uint32_t code = byte(i);
    std::size_t length = code < 0x80    ? 1
                         : code >= 0xF0 ? 4
                         : code >= 0xE0 ? 3
                         : code >= 0xC0 ? 2
                                        : 0;
    bool whole = length > 0 && i + length <= utf8.size();
    if (length > 1) code &= 0x7Fu >> length;
    for (std::size_t k = 1; whole && k < length; ++k) {
      whole = (byte(i + k) & 0xC0u) == 0x80u;
      code = (code << 6) | (byte(i + k) & 0x3Fu);
    }
    if (!whole || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      code = 0xFFFD;  // a byte that starts no character stands for itself as unknown
      length = 1;
    }
    i += length;
    if (code >= 0x10000) {
      code -= 0x10000;
      unit(0xD800u + (code >> 10));
      unit(0xDC00u + (code & 0x3FFu));
    } else {
      unit(code);
    }
  }
  return out + ">";
}

// The whole number after `key` at or after `from`; none when it is not there.
std::optional<std::int64_t> number_after(const std::string& text, std::string_view key,
                                         std::size_t from) {
  const std::size_t at = text.find(key, from);
  if (at == std::string::npos) return std::nullopt;
  std::size_t i = at + key.size();
  while (i < text.size() && (text[i] == ' ' || text[i] == '\n' || text[i] == '\r')) ++i;
  if (i == text.size() || text[i] < '0' || text[i] > '9') return std::nullopt;
  std::int64_t value = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9')
    value = value * 10 + (text[i++] - '0');
  return value;
}

}  // namespace

std::string pdf_with_info(std::string pdf, const ImageFields& fields) {
  const std::size_t trailer = pdf.rfind("trailer");
  const std::size_t start = pdf.rfind("startxref");
  if (trailer == std::string::npos || start == std::string::npos || start < trailer) return pdf;
  const auto size = number_after(pdf, "/Size", trailer);
  const auto root = number_after(pdf, "/Root", trailer);
  const auto previous = number_after(pdf, "startxref", start);
  if (!size || !root || !previous) return pdf;
  if (pdf.back() != '\n') pdf += '\n';
  const std::int64_t object = *size;
  const std::size_t object_at = pdf.size();
  pdf += std::to_string(object) + " 0 obj\n<<";
  for (const auto& [key, value] : fields) pdf += " /" + key + ' ' + pdf_text(value);
  pdf += " >>\nendobj\n";
  const std::size_t xref_at = pdf.size();
  std::string offset = std::to_string(object_at);
  offset.insert(0, 10 - std::min<std::size_t>(10, offset.size()), '0');
  pdf += "xref\n" + std::to_string(object) + " 1\n" + offset + " 00000 n \n";
  pdf += "trailer\n<< /Size " + std::to_string(object + 1) + " /Root " + std::to_string(*root) +
         " 0 R /Info " + std::to_string(object) + " 0 R /Prev " + std::to_string(*previous) +
         " >>\nstartxref\n" + std::to_string(xref_at) + "\n%%EOF\n";
  return pdf;
}

}  // namespace hostswitch
