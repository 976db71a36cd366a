// Feeds arbitrary text to the CGATS reader. Either it reports a ParseError on a line that exists,
// or it returns a table whose shape holds (every row has one token per field, distinct field
// names, rows on increasing lines) and which reads back identically when written out again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "cgats.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

int lines_in(std::string_view text) {
  int lines = 1;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' && text[i] != '\n') continue;
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    if (i + 1 < text.size()) ++lines;
  }
  return lines;
}

// Quotes a token with a quote character it does not contain; false if it contains both.
bool quote(const std::string &token, std::string &out) {
  const char q = token.find('"') == std::string::npos ? '"' : '\'';
  if (token.find(q) != std::string::npos) return false;
  out += q;
  out += token;
  out += q;
  out += ' ';
  return true;
}

// Writes the table (format and data, with their counts) as CGATS text; false when a token cannot
// be written.
bool write(const cgats::Data &data, std::string &out) {
  out =
      "CGATS.17\nNUMBER_OF_FIELDS " + std::to_string(data.fields.size()) + "\nBEGIN_DATA_FORMAT\n";
  for (const std::string &field : data.fields)
    if (!quote(field, out)) return false;
  out += "\nEND_DATA_FORMAT\nNUMBER_OF_SETS " + std::to_string(data.rows.size()) + "\nBEGIN_DATA\n";
  for (const auto &row : data.rows) {
    for (const std::string &token : row)
      if (!quote(token, out)) return false;
    out += '\n';
  }
  out += "END_DATA\n";
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
  const std::string_view text(reinterpret_cast<const char *>(bytes), size);
  cgats::Data data;
  try {
    data = cgats::parse(text);
  } catch (const cgats::ParseError &error) {
    check(error.line >= 1 && error.line <= lines_in(text));
    return 0;
  }
  check(!data.fields.empty());
  check(data.row_lines.size() == data.rows.size());
  for (std::size_t c = 0; c < data.fields.size(); ++c)
    check(data.column(data.fields[c]) == static_cast<int>(c));
  int previous_line = 0;
  for (std::size_t r = 0; r < data.rows.size(); ++r) {
    check(data.rows[r].size() == data.fields.size());
    check(data.row_lines[r] > previous_line && data.row_lines[r] <= lines_in(text));
    previous_line = data.row_lines[r];
    for (std::size_t c = 0; c < data.fields.size(); ++c) {
      try {
        const double value = data.number(r, static_cast<int>(c));
        check(value - value == 0.0);  // finite
      } catch (const cgats::ParseError &error) {
        check(error.line == data.row_lines[r]);
      }
    }
  }
  std::string again;
  if (write(data, again)) {
    const cgats::Data back = cgats::parse(again);
    check(back.fields == data.fields && back.rows == data.rows);
  }
  return 0;
}
