// A small reader for CGATS measurement files (the ASCII exchange format of printer characterisation
// data: .ti3, .it8, .txt), enough for the demo and the tests to load one table of measured patches.
// It lives beside the demo, not in the library, which reads no file formats.
//
// What it understands:
// - an optional file identifier on the first line (e.g. CGATS.17 or CTI3), which is skipped;
// - header lines `NAME value` (value bare or quoted), kept in order; `KEYWORD "NAME"` lines only
//   declare a name and are not kept; NUMBER_OF_FIELDS and NUMBER_OF_SETS are kept like any other
//   header line and checked against what follows;
// - one BEGIN_DATA_FORMAT ... END_DATA_FORMAT section listing the field names (over any number of
//   lines), then one BEGIN_DATA ... END_DATA section with one data set per line;
// - quoted strings ("..." or '...', no escapes; the quotes are removed), `#` comments to the end
//   of the line outside quotes, LF, CRLF and CR line ends, spaces and tabs between tokens.
// Section words and NUMBER_OF_* / KEYWORD are recognised in any letter case when unquoted.
// Everything else is an error: ParseError names the line (1-based) and what is wrong (a count
// that does not match, a missing section, a bad number, a truncated file, a second table).
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace cgats {

// A malformed file. `line` is the 1-based line where the problem was found; what() reads
// "line <n>: <problem>", preceded by "<path>: " when the text came from read_file.
struct ParseError : std::runtime_error {
  ParseError(int line, const std::string &problem, const std::string &source = {});
  int line;
  std::string problem;  // the description without location
};

struct Data {
  std::vector<std::pair<std::string, std::string>> keywords;  // header NAME/value pairs in order
  std::vector<std::string> fields;                            // BEGIN_DATA_FORMAT names, in order
  std::vector<std::vector<std::string>> rows;  // one per data set, raw tokens (quotes removed)
  std::vector<int> row_lines;                  // source line of each row, for error messages

  // Index of a field in `fields` (exact, case-sensitive match), -1 if absent.
  int column(std::string_view field) const;
  // The token at (row, column) as a finite double, read with std::from_chars (locale-independent;
  // a leading '+' is accepted). Throws ParseError naming the row's line and the field when the
  // token is not a finite number, std::out_of_range when row or column is outside the table.
  double number(std::size_t row, int column) const;
};

// Parses CGATS text. Throws ParseError on malformed input.
Data parse(std::string_view text);
// Reads and parses a file. Throws std::runtime_error when the file cannot be read, ParseError
// (whose message starts with the path) when it is malformed.
Data read_file(const std::string &path);

}  // namespace cgats
