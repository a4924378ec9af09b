#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace hostswitch {

// A number as SVG wants it: plain decimal, at most `decimals` places, trailing zeros and
// "-0" dropped, the same in every locale. A value that is not finite writes as 0.
std::string svg_number(double value, int decimals = 2);
void append_svg_number(std::string& out, double value, int decimals = 2);

// Text made safe for XML character data and attribute values: & < > " ' escaped, bytes
// that are not well-formed UTF-8 replaced by U+FFFD, control characters XML forbids dropped.
std::string xml_escape(std::string_view text);

// A small streaming XML writer for SVG documents. Elements nest; attributes go to the
// innermost open start tag. finish() closes what is still open and returns the document.
class SvgWriter {
 public:
  SvgWriter(double width, double height);

  SvgWriter& open(std::string_view tag);
  SvgWriter& attr(std::string_view name, std::string_view value);
  SvgWriter& attr(std::string_view name, const char* value) {
    return attr(name, std::string_view(value));
  }
  SvgWriter& attr(std::string_view name, double value, int decimals = 2);
  SvgWriter& attr(std::string_view name, std::int64_t value);
  SvgWriter& attr(std::string_view name, int value) {
    return attr(name, static_cast<std::int64_t>(value));
  }
  // Path data or a points list already built of numbers and command letters: no escaping
  // is needed, but it is still checked for characters that would break the markup.
  SvgWriter& raw_attr(std::string_view name, std::string_view value);
  SvgWriter& text(std::string_view content);
  SvgWriter& close();

  // A whole leaf element <tag .../> in one call, for the many cells of a picture.
  SvgWriter& rect(double x, double y, double width, double height);

  std::size_t size() const { return out_.size(); }
  std::string finish();

 private:
  void end_start_tag();

  std::string out_;
  std::vector<std::string> open_;
  bool start_tag_open_ = false;
  bool has_content_ = false;
};

}  // namespace hostswitch
