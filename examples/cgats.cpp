// CGATS reader: a line lexer (quotes, comments, line ends) feeding a small state machine over the
// file's sections: header, data format, header again, data, and nothing but comments afterwards.
#include "cgats.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <system_error>

namespace cgats {

namespace {

std::string located(int line, const std::string &problem, const std::string &source) {
  std::string text = source.empty() ? std::string() : source + ": ";
  return text + "line " + std::to_string(line) + ": " + problem;
}

struct Token {
  std::string text;
  bool quoted = false;
};

// Splits one line (without its line end) into tokens. A '#' outside quotes ends the line; a token
// opening with a quote runs to the matching quote on the same line.
std::vector<Token> tokenize(std::string_view line, int line_number) {
  std::vector<Token> tokens;
  std::size_t i = 0;
  const auto is_space = [](char c) { return c == ' ' || c == '\t' || c == '\f' || c == '\v'; };
  while (i < line.size()) {
    const char c = line[i];
    if (is_space(c)) {
      ++i;
      continue;
    }
    if (c == '#') break;
    if (c == '"' || c == '\'') {
      const std::size_t close = line.find(c, i + 1);
      if (close == std::string_view::npos)
        throw ParseError(line_number,
                         std::string("unterminated quoted string (missing ") + c + ")");
      tokens.push_back({std::string(line.substr(i + 1, close - i - 1)), true});
      i = close + 1;
      if (i < line.size() && !is_space(line[i]) && line[i] != '#')
        throw ParseError(line_number, "unexpected text right after a closing quote");
      continue;
    }
    const std::size_t start = i;
    while (i < line.size() && !is_space(line[i]) && line[i] != '#')
      ++i;
    tokens.push_back({std::string(line.substr(start, i - start)), false});
  }
  return tokens;
}

bool equals_ignoring_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           const auto upper = [](char ch) { return ch >= 'a' && ch <= 'z' ? char(ch - 32) : ch; };
           return upper(x) == upper(y);
         });
}

enum class Word {
  None,
  BeginDataFormat,
  EndDataFormat,
  BeginData,
  EndData,
  Keyword,
  NumberOfFields,
  NumberOfSets
};

// The reserved word a token stands for; quoted tokens are always plain text.
Word word_of(const Token &token) {
  if (token.quoted) return Word::None;
  static constexpr std::pair<std::string_view, Word> kWords[] = {
      {"BEGIN_DATA_FORMAT", Word::BeginDataFormat},
      {"END_DATA_FORMAT", Word::EndDataFormat},
      {"BEGIN_DATA", Word::BeginData},
      {"END_DATA", Word::EndData},
      {"KEYWORD", Word::Keyword},
      {"NUMBER_OF_FIELDS", Word::NumberOfFields},
      {"NUMBER_OF_SETS", Word::NumberOfSets}};
  for (const auto &[name, word] : kWords)
    if (equals_ignoring_case(token.text, name)) return word;
  return Word::None;
}

bool is_section_word(Word w) {
  return w == Word::BeginDataFormat || w == Word::EndDataFormat || w == Word::BeginData ||
         w == Word::EndData;
}

// A count given in the header (NUMBER_OF_FIELDS, NUMBER_OF_SETS): where it was given and its value.
struct Count {
  int line = 0;  // 0: not given
  long long value = 0;
};

class Parser {
 public:
  Data finish(int last_line) {
    switch (state_) {
      case State::Format:
        throw ParseError(last_line, "file ends inside the data format opened on line " +
                                        std::to_string(section_line_) +
                                        " (END_DATA_FORMAT missing)");
      case State::Data:
        throw ParseError(last_line, "file ends inside the data opened on line " +
                                        std::to_string(section_line_) + " after " +
                                        std::to_string(data_.rows.size()) +
                                        " data sets (END_DATA missing)");
      case State::Header:
        throw ParseError(last_line,
                         format_seen_ ? "no BEGIN_DATA section" : "no BEGIN_DATA_FORMAT section");
      case State::Trailer:
        break;
    }
    return std::move(data_);
  }

  void line(std::vector<Token> tokens, int n) {
    if (tokens.empty()) return;
    const bool first = !seen_content_;
    seen_content_ = true;
    switch (state_) {
      case State::Header:
        header(tokens, n, first);
        break;
      case State::Format:
        format(tokens, 0, n);
        break;
      case State::Data:
        data(std::move(tokens), n);
        break;
      case State::Trailer:
        throw ParseError(n, "text after END_DATA (only one table per file is read)");
    }
  }

 private:
  enum class State { Header, Format, Data, Trailer };

  void header(const std::vector<Token> &tokens, int n, bool first) {
    const Word word = word_of(tokens[0]);
    switch (word) {
      case Word::BeginDataFormat:
        if (format_seen_) throw ParseError(n, "second BEGIN_DATA_FORMAT section");
        state_ = State::Format;
        section_line_ = n;
        format(tokens, 1, n);
        return;
      case Word::EndDataFormat:
        throw ParseError(n, "END_DATA_FORMAT without BEGIN_DATA_FORMAT");
      case Word::BeginData:
        if (!format_seen_) throw ParseError(n, "BEGIN_DATA before any BEGIN_DATA_FORMAT section");
        if (tokens.size() > 1) throw ParseError(n, "unexpected text after BEGIN_DATA");
        state_ = State::Data;
        section_line_ = n;
        return;
      case Word::EndData:
        throw ParseError(n, "END_DATA without BEGIN_DATA");
      default:
        break;
    }
    // A lone word on the first line is the file identifier (CGATS.17, CTI3, IT8.7/2, ...).
    if (first && tokens.size() == 1 && word == Word::None) return;
    const std::string &name = tokens[0].text;
    if (tokens.size() == 1) throw ParseError(n, name + " has no value");
    if (tokens.size() > 2)
      throw ParseError(n, name + " has more than one value (quote a value that contains spaces)");
    if (word == Word::Keyword) return;  // declares a header name; nothing to keep
    if (word == Word::NumberOfFields || word == Word::NumberOfSets) {
      Count &count = word == Word::NumberOfFields ? fields_count_ : sets_count_;
      if (count.line != 0)
        throw ParseError(n,
                         name + " given twice (first on line " + std::to_string(count.line) + ")");
      count = {n, parse_count(tokens[1], name, n)};
      if (word == Word::NumberOfFields && format_seen_) check_field_count(n);
    }
    data_.keywords.emplace_back(name, tokens[1].text);
  }

  static long long parse_count(const Token &token, const std::string &name, int n) {
    const std::string &s = token.text;
    long long value = -1;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc() || end != s.data() + s.size() || value < 0)
      throw ParseError(n, name + " must be a non-negative whole number, not \"" + s + "\"");
    return value;
  }

  void check_field_count(int n) const {
    if (fields_count_.line != 0 &&
        fields_count_.value != static_cast<long long>(data_.fields.size()))
      throw ParseError(n, "NUMBER_OF_FIELDS (line " + std::to_string(fields_count_.line) + ") is " +
                              std::to_string(fields_count_.value) + " but the data format lists " +
                              std::to_string(data_.fields.size()) + " fields");
  }

  // Field names from tokens[from..] until END_DATA_FORMAT.
  void format(const std::vector<Token> &tokens, std::size_t from, int n) {
    for (std::size_t i = from; i < tokens.size(); ++i) {
      const Word word = word_of(tokens[i]);
      if (word == Word::EndDataFormat) {
        if (i + 1 < tokens.size()) throw ParseError(n, "unexpected text after END_DATA_FORMAT");
        if (data_.fields.empty()) throw ParseError(n, "the data format lists no fields");
        check_field_count(n);
        state_ = State::Header;
        format_seen_ = true;
        return;
      }
      if (word != Word::None)
        throw ParseError(n, tokens[i].text + " inside the data format opened on line " +
                                std::to_string(section_line_) + " (END_DATA_FORMAT missing?)");
      if (std::find(data_.fields.begin(), data_.fields.end(), tokens[i].text) != data_.fields.end())
        throw ParseError(n, "field " + tokens[i].text + " listed twice in the data format");
      data_.fields.push_back(tokens[i].text);
    }
  }

  void data(std::vector<Token> tokens, int n) {
    for (std::size_t i = 0; i < tokens.size(); ++i) {
      const Word word = word_of(tokens[i]);
      if (word == Word::EndData && i == 0 && tokens.size() == 1) {
        if (sets_count_.line != 0 && sets_count_.value != static_cast<long long>(data_.rows.size()))
          throw ParseError(n, "NUMBER_OF_SETS (line " + std::to_string(sets_count_.line) + ") is " +
                                  std::to_string(sets_count_.value) + " but " +
                                  std::to_string(data_.rows.size()) + " data sets were read");
        state_ = State::Trailer;
        return;
      }
      if (is_section_word(word))
        throw ParseError(n, tokens[i].text + " inside the data opened on line " +
                                std::to_string(section_line_) +
                                (word == Word::EndData ? " (END_DATA must stand on its own line)"
                                                       : " (END_DATA missing?)"));
    }
    if (tokens.size() != data_.fields.size())
      throw ParseError(n, "data set has " + std::to_string(tokens.size()) +
                              " values but the data format lists " +
                              std::to_string(data_.fields.size()) + " fields");
    if (sets_count_.line != 0 && static_cast<long long>(data_.rows.size()) >= sets_count_.value)
      throw ParseError(n, "more data sets than NUMBER_OF_SETS (line " +
                              std::to_string(sets_count_.line) + ") announces (" +
                              std::to_string(sets_count_.value) + ")");
    std::vector<std::string> row;
    row.reserve(tokens.size());
    for (Token &token : tokens)
      row.push_back(std::move(token.text));
    data_.rows.push_back(std::move(row));
    data_.row_lines.push_back(n);
  }

  Data data_;
  State state_ = State::Header;
  bool seen_content_ = false;
  bool format_seen_ = false;
  int section_line_ = 0;  // line where the open section began
  Count fields_count_, sets_count_;
};

}  // namespace

ParseError::ParseError(int line_number, const std::string &what_is_wrong, const std::string &source)
    : std::runtime_error(located(line_number, what_is_wrong, source)),
      line(line_number),
      problem(what_is_wrong) {}

int Data::column(std::string_view field) const {
  const auto it = std::find(fields.begin(), fields.end(), field);
  return it == fields.end() ? -1 : static_cast<int>(it - fields.begin());
}

double Data::number(std::size_t row, int col) const {
  if (row >= rows.size() || col < 0 || static_cast<std::size_t>(col) >= rows[row].size())
    throw std::out_of_range("cgats::Data::number: no value at row " + std::to_string(row) +
                            ", column " + std::to_string(col));
  const std::string &token = rows[row][static_cast<std::size_t>(col)];
  const int line = row < row_lines.size() ? row_lines[row] : 0;
  const std::string field =
      static_cast<std::size_t>(col) < fields.size() ? fields[static_cast<std::size_t>(col)] : "?";
  const char *first = token.data();
  const char *last = token.data() + token.size();
  if (first != last && *first == '+' && last - first > 1 && first[1] != '-' && first[1] != '+')
    ++first;
  double value = 0.0;
  const auto [end, ec] = std::from_chars(first, last, value, std::chars_format::general);
  if (ec == std::errc::result_out_of_range)
    throw ParseError(line, "field " + field + ": \"" + token + "\" is out of range");
  if (ec != std::errc() || end != last || !std::isfinite(value))
    throw ParseError(line, "field " + field + ": \"" + token + "\" is not a number");
  return value;
}

Data parse(std::string_view text) {
  Parser parser;
  int n = 1;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = text.find_first_of("\r\n", start);
    const std::string_view line =
        text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    parser.line(tokenize(line, n), n);
    if (end == std::string_view::npos) break;
    start = end + (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n' ? 2 : 1);
    if (start == text.size()) break;  // the last line ended with its line end
    ++n;
  }
  return parser.finish(n);
}

Data read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad()) throw std::runtime_error("cannot read " + path);
  try {
    return parse(text);
  } catch (const ParseError &error) {
    throw ParseError(error.line, error.problem, path);
  }
}

}  // namespace cgats
