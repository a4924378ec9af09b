#pragma once

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace hostswitch {

enum class ImageFormat { kSvg, kPdf, kPng };

// The format a picture's file name asks for: .svg, .pdf or .png (any case); none otherwise.
std::optional<ImageFormat> image_format_of(const std::filesystem::path& path);

class SvgConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An SVG document as PDF (the picture's own size: a width of "8.5cm" gives a page 8.5 cm
// wide) or PNG (`dpi` pixels per inch of that size), made by librsvg and cairo through
// rsvg-convert (Debian package librsvg2-bin). An SVG comes back as it is. Throws
// SvgConvertError when the tool is missing or fails, with what it said.
std::string convert_svg(std::string_view svg, ImageFormat format, double dpi = 96);

}  // namespace hostswitch
