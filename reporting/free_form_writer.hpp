#pragma once

// Free-form output records: the layout of console text and of the results file's header.

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>

namespace hostswitch {

// One item of a free-form output record: a text, or an integer that follows a text.
using FreeFormItem = std::variant<std::string_view, std::int32_t>;

inline constexpr std::string_view kConsoleLineEnd = "\n";
inline constexpr std::string_view kFileLineEnd = "\r\n";

// Lays out one free-form output record: a leading blank, at most 80 columns a line, texts
// longer than 79 characters cut every 79 characters, integers right-justified in 12 columns.
// Returns the record's lines, each ended by line_end.
std::string free_form_record(std::initializer_list<FreeFormItem> items,
                             std::string_view line_end = kConsoleLineEnd);

}  // namespace hostswitch
