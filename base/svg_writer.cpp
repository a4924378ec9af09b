#include "base/svg_writer.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <stdexcept>

#include "base/number_chars.hpp"

namespace hostswitch {

void append_svg_number(std::string& out, double value, int decimals) {
  if (!std::isfinite(value)) value = 0.0;
  std::array<char, 64> buffer{};
  // Beyond 1e17 fixed notation is as long as it is pointless; SVG never needs it here.
  if (std::fabs(value) >= 1e17) value = std::copysign(1e17, value);
  auto [end, ec] =
      double_to_chars_fixed(buffer.data(), buffer.data() + buffer.size(), value, decimals);
  if (ec != std::errc()) {
    out += '0';
    return;
  }
  std::string_view digits(buffer.data(), static_cast<std::size_t>(end - buffer.data()));
  if (digits.find('.') != std::string_view::npos) {
    while (digits.back() == '0') digits.remove_suffix(1);
    if (digits.back() == '.') digits.remove_suffix(1);
  }
  if (digits == "-0") digits = "0";
  out += digits;
}

std::string svg_number(double value, int decimals) {
  std::string out;
  append_svg_number(out, value, decimals);
  return out;
}

namespace {

// Length of the well-formed UTF-8 sequence starting at text[i], or 0.
std::size_t utf8_sequence_length(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  std::size_t length = 0;
  std::uint32_t code = 0;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07u;
  } else {
    return 0;
  }
  if (text.size() - i < length) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0u) != 0x80u) return 0;
    code = (code << 6) | (byte(i + k) & 0x3Fu);
  }
  const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
  const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
  // U+FFFE and U+FFFF are not XML characters either.
  if (overlong || surrogate || code > 0x10FFFF || code == 0xFFFE || code == 0xFFFF) return 0;
  return length;
}

}  // namespace

std::string xml_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const std::size_t length = utf8_sequence_length(text, i);
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    if (length == 1) {
      switch (c) {
        case '&':
          out += "&amp;";
          break;
        case '<':
          out += "&lt;";
          break;
        case '>':
          out += "&gt;";
          break;
        case '"':
          out += "&quot;";
          break;
        case '\'':
          out += "&apos;";
          break;
        case '\t':
          out += "&#9;";
          break;
        case '\n':
          out += "&#10;";
          break;
        case '\r':
          out += "&#13;";
          break;
        default:
          if (c >= 0x20 && c != 0x7F) out += static_cast<char>(c);
          break;
      }
    } else {
      out.append(text.substr(i, length));
    }
    i += length;
  }
  return out;
}

SvgWriter::SvgWriter(double width, double height) {
  out_ = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  open("svg");
  attr("xmlns", "http://www.w3.org/2000/svg");
  attr("version", "1.1");
  attr("width", width);
  attr("height", height);
  std::string box = "0 0 ";
  append_svg_number(box, width);
  box += ' ';
  append_svg_number(box, height);
  attr("viewBox", box);
}

void SvgWriter::end_start_tag() {
  if (start_tag_open_) {
    out_ += '>';
    start_tag_open_ = false;
  }
}

SvgWriter& SvgWriter::open(std::string_view tag) {
  end_start_tag();
  if (!open_.empty() && out_.back() == '>') out_ += '\n';
  out_ += '<';
  out_ += tag;
  open_.emplace_back(tag);
  start_tag_open_ = true;
  has_content_ = false;
  return *this;
}

SvgWriter& SvgWriter::attr(std::string_view name, std::string_view value) {
  if (!start_tag_open_) throw std::logic_error("SVG attribute outside a start tag");
  out_ += ' ';
  out_ += name;
  out_ += "=\"";
  out_ += xml_escape(value);
  out_ += '"';
  return *this;
}

SvgWriter& SvgWriter::attr(std::string_view name, double value, int decimals) {
  if (!start_tag_open_) throw std::logic_error("SVG attribute outside a start tag");
  out_ += ' ';
  out_ += name;
  out_ += "=\"";
  append_svg_number(out_, value, decimals);
  out_ += '"';
  return *this;
}

SvgWriter& SvgWriter::attr(std::string_view name, std::int64_t value) {
  if (!start_tag_open_) throw std::logic_error("SVG attribute outside a start tag");
  std::array<char, 24> buffer{};
  auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  (void)ec;  // 24 characters hold every 64-bit integer
  out_ += ' ';
  out_ += name;
  out_ += "=\"";
  out_.append(buffer.data(), end);
  out_ += '"';
  return *this;
}

SvgWriter& SvgWriter::raw_attr(std::string_view name, std::string_view value) {
  if (value.find_first_of("&<>\"'") != std::string_view::npos) {
    return attr(name, value);
  }
  if (!start_tag_open_) throw std::logic_error("SVG attribute outside a start tag");
  out_ += ' ';
  out_ += name;
  out_ += "=\"";
  out_ += value;
  out_ += '"';
  return *this;
}

SvgWriter& SvgWriter::text(std::string_view content) {
  if (open_.empty()) throw std::logic_error("SVG text outside an element");
  end_start_tag();
  out_ += xml_escape(content);
  has_content_ = true;
  return *this;
}

SvgWriter& SvgWriter::close() {
  if (open_.empty()) throw std::logic_error("SVG close without an open element");
  if (start_tag_open_) {
    out_ += "/>";
    start_tag_open_ = false;
  } else {
    if (!has_content_) out_ += '\n';
    out_ += "</";
    out_ += open_.back();
    out_ += '>';
  }
  open_.pop_back();
  // The parent now holds an element; its end tag goes on a fresh line.
  has_content_ = false;
  return *this;
}

SvgWriter& SvgWriter::rect(double x, double y, double width, double height) {
  end_start_tag();
  out_ += "\n<rect x=\"";
  append_svg_number(out_, x);
  out_ += "\" y=\"";
  append_svg_number(out_, y);
  out_ += "\" width=\"";
  append_svg_number(out_, width);
  out_ += "\" height=\"";
  append_svg_number(out_, height);
  out_ += "\"/>";
  return *this;
}

std::string SvgWriter::finish() {
  while (!open_.empty()) close();
  out_ += '\n';
  return std::move(out_);
}

}  // namespace hostswitch
