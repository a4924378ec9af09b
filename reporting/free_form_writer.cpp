#include "reporting/free_form_writer.hpp"

#include <charconv>
#include <cstddef>
#include <string>
#include <utility>

namespace hostswitch {

namespace {

constexpr std::size_t kLineColumns = 80;
constexpr std::size_t kIntegerWidth = 12;

class RecordWriter {
 public:
  explicit RecordWriter(std::string_view line_end) : line_end_(line_end) { out_ += ' '; }

  void text(std::string_view item) {
    if (holds_item() && item.size() > room()) new_line();
    // Only a line that holds nothing but the blank can be too short here: cut every 79.
    while (item.size() > room()) {
      out_ += item.substr(0, room());
      item.remove_prefix(room());
      new_line();
    }
    out_ += item;
    line_length_ += item.size();
  }

  void integer(std::int32_t value) {
    if (holds_item() && kIntegerWidth > room()) new_line();
    char digits[16];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    const auto length = static_cast<std::size_t>(result.ptr - digits);
    out_.append(kIntegerWidth - length, ' ');
    out_.append(digits, length);
    line_length_ += kIntegerWidth;
  }

  std::string finish() && {
    out_ += line_end_;
    return std::move(out_);
  }

 private:
  bool holds_item() const { return line_length_ > 1; }
  std::size_t room() const { return kLineColumns - line_length_; }
  void new_line() {
    out_ += line_end_;
    out_ += ' ';
    line_length_ = 1;
  }

  std::string_view line_end_;
  std::string out_;
  std::size_t line_length_ = 1;
};

}  // namespace

std::string free_form_record(std::initializer_list<FreeFormItem> items, std::string_view line_end) {
  RecordWriter writer(line_end);
  for (const FreeFormItem& item : items) {
    if (const auto* text = std::get_if<std::string_view>(&item)) {
      writer.text(*text);
    } else {
      writer.integer(std::get<std::int32_t>(item));
    }
  }
  return std::move(writer).finish();
}

}  // namespace hostswitch
