#pragma once

#include <charconv>

namespace hostswitch {

// Doubles to and from text exactly as std::to_chars and std::from_chars do it. The standard
// library of the WebAssembly build predates their floating-point overloads; there, the C
// library's correctly rounded printf and strtod stand in.

// Shortest text that reads back as the same double.
std::to_chars_result double_to_chars(char* first, char* last, double value);
// Fixed notation with `decimals` digits after the point.
std::to_chars_result double_to_chars_fixed(char* first, char* last, double value, int decimals);
// `format` is std::chars_format::general or std::chars_format::fixed.
std::from_chars_result double_from_chars(const char* first, const char* last, double& value,
                                         std::chars_format format = std::chars_format::general);

}  // namespace hostswitch
