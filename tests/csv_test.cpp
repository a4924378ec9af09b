#include "base/csv.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace hostswitch {
namespace {

using Records = std::vector<std::vector<std::string>>;

struct Read {
  Records records;
  std::vector<std::int64_t> lines;
};

// Every record of `text`, fed `step` bytes a read so that the block edges fall anywhere.
Read read_all(const std::string& text, std::size_t step, CsvTorn torn = CsvTorn::refuse) {
  std::string_view rest = text;
  CsvReader reader(
      [&rest, step](char* buffer, std::size_t size) {
        const std::size_t got = std::min({size, step, rest.size()});
        rest.copy(buffer, got);
        rest.remove_prefix(got);
        return got;
      },
      "t.csv", torn);
  Read read;
  while (reader.next()) {
    read.records.emplace_back(reader.fields().begin(), reader.fields().end());
    read.lines.push_back(reader.line());
  }
  return read;
}

TEST(CsvReader, ReadsQuotedFieldsMarksAndLineEndsWithTheLinesRecordsStartOn) {
  const std::string mark = "\xEF\xBB\xBF";
  const struct {
    const char* name;
    std::string text;
    Records records;
    std::vector<std::int64_t> lines;
  } cases[] = {
      {"plain", "a,b\n1,2\n", {{"a", "b"}, {"1", "2"}}, {1, 2}},
      {"CR LF", "a,b\r\n1,2\r\n", {{"a", "b"}, {"1", "2"}}, {1, 2}},
      {"mark at the start", mark + "a,b\r\n1,2\r\n", {{"a", "b"}, {"1", "2"}}, {1, 2}},
      {"mark elsewhere is text", "a\n" + mark + "b\n", {{"a"}, {mark + "b"}}, {1, 2}},
      {"empty fields", ",,\n\n", {{"", "", ""}, {""}}, {1, 2}},
      {"comma in quotes", "x,\"a,b\"\n", {{"x", "a,b"}}, {1}},
      {"doubled quotes", "\"c\"\"d\",\"\"\n", {{"c\"d", ""}}, {1}},
      {"line breaks in quotes",
       "h\n\"x\ny\",\"p\r\nq\"\r\nlast\n",
       {{"h"}, {"x\ny", "p\r\nq"}, {"last"}},
       {1, 2, 5}},
      {"lone CR is text", "a\rb\n", {{"a\rb"}}, {1}},
      {"nothing", "", {}, {}},
  };
  for (const auto& c : cases) {
    for (const std::size_t step : {std::size_t{1}, std::size_t{2}, std::size_t{1} << 20}) {
      const Read read = read_all(c.text, step);
      EXPECT_EQ(read.records, c.records) << c.name << " step " << step;
      EXPECT_EQ(read.lines, c.lines) << c.name << " step " << step;
    }
  }
}

TEST(CsvReader, RefusesMalformedAndOverlongRecordsNamingFileAndLine) {
  const struct {
    const char* name;
    std::string text;
    const char* expected;
  } cases[] = {
      {"torn last line", "a\nb", "t.csv:2: torn line"},
      {"quote never closed", "a\n\"open\nstill\n", "t.csv:2: a quoted field is not closed"},
      {"quote in a bare field", "a\nx\"y\n", "t.csv:2: a quote inside an unquoted field"},
      {"text after the closing quote", "\"a\"b\n", "t.csv:1: text after a closing quote"},
      {"record too long", "a\nb\n" + std::string(kMaxCsvRecord + 2, 'x') + "\n",
       "t.csv:3: a record longer than 4096 characters"},
      {"NUL bytes, no line end", std::string(100000, '\0'), "t.csv:1: a record longer"},
  };
  for (const auto& c : cases) {
    try {
      read_all(c.text, 1000);
      ADD_FAILURE() << c.name << " read";
    } catch (const CsvError& error) {
      EXPECT_EQ(std::string(error.what()).rfind(c.expected, 0), 0u)
          << c.name << ": " << error.what();
    }
  }
  // A record of exactly the cap is taken, with or without its CR.
  EXPECT_EQ(read_all(std::string(kMaxCsvRecord, 'x') + "\r\n", 7).records.size(), 1u);
  // A last line without its end, taken or left out when the reader is asked to.
  EXPECT_EQ(read_all("a\nb", 1, CsvTorn::take).records, (Records{{"a"}, {"b"}}));
  EXPECT_EQ(read_all("a\n\"b", 1, CsvTorn::skip).records, (Records{{"a"}}));
}

TEST(CsvWriter, QuotesOnlyWhatNeedsItAndReadsBackTheSameFields) {
  const struct {
    std::string field;
    std::string written;
  } cases[] = {{"plain", "plain"},       {"", ""},
               {" spaced ", " spaced "}, {"a,b", "\"a,b\""},
               {"c\"d", "\"c\"\"d\""},   {"x\ny", "\"x\ny\""},
               {"x\ry", "\"x\ry\""}};
  std::vector<std::string> fields;
  for (const auto& c : cases) {
    std::string out;
    append_csv_field(out, c.field);
    EXPECT_EQ(out, c.written);
    fields.push_back(c.field);
  }
  EXPECT_EQ(csv_fields_of(csv_fields_text(fields), "labels"), fields);
}

}  // namespace
}  // namespace hostswitch
