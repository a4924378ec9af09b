#pragma once

// Words about a picture kept in the picture's own file: where it came from, for a reader who
// finds the file alone.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace hostswitch {

using ImageFields = std::vector<std::pair<std::string, std::string>>;

// The SVG with a <desc> of `description` and a <metadata> element holding `fields` (each an
// attribute of one element in the program's namespace), right after the root's start tag.
std::string svg_with_metadata(std::string svg, std::string_view description,
                              const ImageFields& fields);
// The PNG with one text chunk per field after its header (tEXt for ASCII, else iTXt in
// UTF-8). Throws std::runtime_error when the bytes are not a PNG.
std::string png_with_text(std::string png, const ImageFields& fields);
// The PDF with a document information dictionary of `fields` (keys such as Title, Subject,
// Keywords, Creator) added as an incremental update; returned as it is when it ends in no
// classic cross-reference trailer to update.
std::string pdf_with_info(std::string pdf, const ImageFields& fields);

}  // namespace hostswitch
