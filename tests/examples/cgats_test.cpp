// The examples' CGATS reader: agreement with Little CMS 2's reader on the shipped FOGRA39 data and
// on synthetic files, large files, number reading, and the line numbers of malformed files.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "cgats.h"

#if VELMORA_HAVE_LCMS2
#include <lcms2.h>
#endif

namespace {

const std::string kFogra = std::string(VELMORA_DATA_DIR) + "/FOGRA39L.ti3";

#if VELMORA_HAVE_LCMS2
struct It8 {
  cmsHANDLE handle;
  explicit It8(cmsHANDLE h) : handle(h) {}
  ~It8() {
    if (handle != nullptr) cmsIT8Free(handle);
  }
  It8(const It8 &) = delete;
  It8 &operator=(const It8 &) = delete;
};

// Compares everything our reader returns with what Little CMS 2 reads from the same bytes: the
// header properties in order, the field names and their indices, every cell as text and, where
// the cell is a number, as a double. Little CMS reformats numbers ("95.00" reads back as "95"), so
// numeric cells are compared by value.
void expect_agrees_with_lcms(const cgats::Data &ours, cmsHANDLE theirs) {
  ASSERT_NE(theirs, nullptr);
  ASSERT_EQ(cmsIT8TableCount(theirs), 1u);

  char **names = nullptr;
  const cmsUInt32Number properties = cmsIT8EnumProperties(theirs, &names);
  ASSERT_EQ(properties, ours.keywords.size());
  for (std::size_t i = 0; i < ours.keywords.size(); ++i) {
    EXPECT_EQ(ours.keywords[i].first, names[i]);
    EXPECT_STREQ(cmsIT8GetProperty(theirs, names[i]), ours.keywords[i].second.c_str());
  }

  char **samples = nullptr;
  const int fields = cmsIT8EnumDataFormat(theirs, &samples);
  ASSERT_EQ(fields, static_cast<int>(ours.fields.size()));
  for (int c = 0; c < fields; ++c) {
    EXPECT_EQ(ours.fields[static_cast<std::size_t>(c)], samples[c]);
    EXPECT_EQ(ours.column(samples[c]), cmsIT8FindDataFormat(theirs, samples[c]));
  }
  EXPECT_EQ(cmsIT8GetPropertyDbl(theirs, "NUMBER_OF_SETS"), static_cast<double>(ours.rows.size()));

  int numeric = 0;
  for (std::size_t r = 0; r < ours.rows.size(); ++r) {
    const int row = static_cast<int>(r);
    for (int c = 0; c < fields; ++c) {
      const char *text = cmsIT8GetDataRowCol(theirs, row, c);
      ASSERT_NE(text, nullptr) << "row " << r << " column " << c;
      double value = 0.0;
      try {
        value = ours.number(r, c);
      } catch (const cgats::ParseError &) {
        EXPECT_EQ(ours.rows[r][static_cast<std::size_t>(c)], text) << "row " << r;
        continue;
      }
      ++numeric;
      EXPECT_NEAR(value, cmsIT8GetDataRowColDbl(theirs, row, c), 1e-12 * (1.0 + std::fabs(value)))
          << "row " << r << " column " << c << " token "
          << ours.rows[r][static_cast<std::size_t>(c)];
    }
  }
  EXPECT_EQ(numeric > 0, !ours.rows.empty());
}
#endif

TEST(CgatsReader, ReadsTheFogra39FileAsLittleCmsDoes) {
  const cgats::Data data = cgats::read_file(kFogra);
  ASSERT_EQ(data.rows.size(), 1617u);
  ASSERT_EQ(data.fields.size(), 11u);
  // Spot values read from the file by eye: first, a middle and the last patch.
  const int id = data.column("SAMPLE_ID"), m = data.column("CMYK_M"), l = data.column("LAB_L"),
            b = data.column("LAB_B");
  EXPECT_EQ(data.number(0, id), 1.0);
  EXPECT_EQ(data.number(0, l), 95.0);
  EXPECT_EQ(data.number(1, m), 10.0);
  EXPECT_EQ(data.number(1616, b), -42.96);
  EXPECT_EQ(data.row_lines.front(), 19);
  EXPECT_EQ(data.row_lines.back(), 1635);
  EXPECT_EQ(data.column("CMYK_K"), 4);
  EXPECT_EQ(data.column("cmyk_k"), -1);
  EXPECT_EQ(data.column("SAMPLE_NAME"), -1);
  int black_free = 0;
  for (std::size_t r = 0; r < data.rows.size(); ++r)
    black_free += data.number(r, data.column("CMYK_K")) == 0.0;
  EXPECT_EQ(black_free, 818);

#if VELMORA_HAVE_LCMS2
  const It8 theirs(cmsIT8LoadFromFile(nullptr, kFogra.c_str()));
  expect_agrees_with_lcms(data, theirs.handle);
  EXPECT_STREQ(cmsIT8GetData(theirs.handle, "1617", "LAB_B"), "-42.96");
#endif
}

// Builds a file of `sets` patches with quoted names, negative and fractional numbers, comments,
// tabs and the given line end.
std::string synthetic_file(int sets, const std::string &eol) {
  std::string text =
      "CGATS.17" + eol + "# measured on a synthetic device" + eol +
      "ORIGINATOR \"Velmora tests # not a comment\"" + eol +
      "DESCRIPTOR 'single quotes'   # trailing comment" + eol + "KEYWORD \"MY_NOTE\"" + eol +
      "MY_NOTE \"two  spaces\"" + eol + "NUMBER_OF_FIELDS 6" + eol + "BEGIN_DATA_FORMAT" + eol +
      "SAMPLE_ID\tSAMPLE_NAME" + eol + "  RGB_R RGB_G RGB_B LAB_L" + eol + "END_DATA_FORMAT" + eol +
      eol + "NUMBER_OF_SETS " + std::to_string(sets) + eol + "BEGIN_DATA" + eol;
  for (int i = 0; i < sets; ++i) {
    char line[160];
    std::snprintf(line, sizeof line, "%d\t\"patch %d\"  %.4f %d -%d.%03d %.6f", i + 1, i,
                  (i % 101) / 100.0, i % 256, i % 7, i % 1000, 100.0 * i / (sets + 1.0));
    text += line;
    if (i % 97 == 0) text += "   # a remark";
    text += eol;
    if (i % 500 == 0) text += "# comment line inside the data" + eol;
  }
  return text + "END_DATA" + eol;
}

TEST(CgatsReader, AgreesWithLittleCmsOnSyntheticFilesOfAnyLineEnd) {
  for (const std::string eol : {"\n", "\r\n", "\r"}) {
    for (const int sets : {0, 1, 5000}) {
      SCOPED_TRACE("sets " + std::to_string(sets) + ", line end " +
                   std::to_string(static_cast<int>(eol.back())));
      const std::string text = synthetic_file(sets, eol);
      const cgats::Data data = cgats::parse(text);
      ASSERT_EQ(data.rows.size(), static_cast<std::size_t>(sets));
      ASSERT_EQ(data.keywords.size(), 5u);
      EXPECT_EQ(data.keywords[0].second, "Velmora tests # not a comment");
      EXPECT_EQ(data.keywords[1].second, "single quotes");
      EXPECT_EQ(data.keywords[2], (std::pair<std::string, std::string>{"MY_NOTE", "two  spaces"}));
      if (sets > 1) {
        EXPECT_EQ(data.rows[1][1], "patch 1");
        EXPECT_EQ(data.number(1, 4), -1.001);
        // Comment lines shift the data: row 1 sits after the comment that follows row 0.
        EXPECT_EQ(data.row_lines[1], data.row_lines[0] + 2);
      }
#if VELMORA_HAVE_LCMS2
      // Little CMS refuses a table without data sets.
      if (sets == 0) continue;
      const It8 theirs(
          cmsIT8LoadFromMem(nullptr, text.data(), static_cast<cmsUInt32Number>(text.size())));
      expect_agrees_with_lcms(data, theirs.handle);
#endif
    }
  }
}

TEST(CgatsReader, ReadsWholeTokensAsFiniteNumbersAndNamesTheLineOfABadOne) {
  struct Case {
    const char *token;
    bool ok;
    double value;
  };
  const Case cases[] = {
      {"1.5", true, 1.5},        {"-2", true, -2.0}, {"+3.25", true, 3.25}, {"1e3", true, 1000.0},
      {"-1.5E-2", true, -0.015}, {".5", true, 0.5},  {"0.1", true, 0.1},    {"1,5", false, 0},
      {"1.2.3", false, 0},       {"abc", false, 0},  {"", false, 0},        {"+", false, 0},
      {"+-1", false, 0},         {"++1", false, 0},  {"inf", false, 0},     {"nan", false, 0},
      {"1e999", false, 0},       {"0x10", false, 0}, {" 1", false, 0},      {"1 ", false, 0},
      {"12abc", false, 0}};
  std::string text =
      "NUMBER_OF_FIELDS 2\nBEGIN_DATA_FORMAT\nSAMPLE_ID VALUE\nEND_DATA_FORMAT\n"
      "BEGIN_DATA\n";
  for (std::size_t i = 0; i < std::size(cases); ++i)
    text += std::to_string(i) + " \"" + cases[i].token + "\"\n";
  text += "END_DATA\n";
  const cgats::Data data = cgats::parse(text);
  ASSERT_EQ(data.rows.size(), std::size(cases));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].token);
    if (cases[i].ok) {
      EXPECT_EQ(data.number(i, 1), cases[i].value);
      continue;
    }
    try {
      data.number(i, 1);
      ADD_FAILURE() << "accepted";
    } catch (const cgats::ParseError &error) {
      EXPECT_EQ(error.line, static_cast<int>(6 + i));
      EXPECT_NE(std::string(error.what()).find("field VALUE"), std::string::npos) << error.what();
    }
  }
  EXPECT_THROW(data.number(std::size(cases), 0), std::out_of_range);
  EXPECT_THROW(data.number(0, 2), std::out_of_range);
  EXPECT_THROW(data.number(0, data.column("MISSING")), std::out_of_range);
}

TEST(CgatsReader, ReportsMalformedFilesWithTheLineOfTheFault) {
  const std::string format = "BEGIN_DATA_FORMAT\nSAMPLE_ID LAB_L\nEND_DATA_FORMAT\n";  // lines 1-3
  struct Case {
    std::string text;
    int line;
    const char *message;
  };
  const Case cases[] = {
      {"", 1, "no BEGIN_DATA_FORMAT section"},
      {"CGATS.17\nORIGINATOR x\n", 2, "no BEGIN_DATA_FORMAT section"},
      {format, 3, "no BEGIN_DATA section"},
      {"CTI3\nBEGIN_DATA\n1 2\nEND_DATA\n", 2, "BEGIN_DATA before any BEGIN_DATA_FORMAT"},
      {"BEGIN_DATA_FORMAT\nA B\n\nBEGIN_DATA\n", 4, "END_DATA_FORMAT missing"},
      {"BEGIN_DATA_FORMAT\nA B\n", 2, "file ends inside the data format opened on line 1"},
      {"BEGIN_DATA_FORMAT\nEND_DATA_FORMAT\n", 2, "lists no fields"},
      {"BEGIN_DATA_FORMAT\nA B A\nEND_DATA_FORMAT\n", 2, "field A listed twice"},
      {"NUMBER_OF_FIELDS 3\n" + format, 4, "NUMBER_OF_FIELDS (line 1) is 3 but the data format"},
      {format + "NUMBER_OF_FIELDS 1\n", 4, "is 1 but the data format lists 2 fields"},
      {"NUMBER_OF_FIELDS 2.0\n", 1, "non-negative whole number"},
      {"NUMBER_OF_SETS -1\n", 1, "non-negative whole number"},
      {"NUMBER_OF_SETS 1\nNUMBER_OF_SETS 1\n", 2, "given twice (first on line 1)"},
      // A lone word is taken for the file identifier on the first line only.
      {"ORIGINATOR\n" + format, 4, "no BEGIN_DATA section"},
      {"CTI3\nORIGINATOR\n", 2, "ORIGINATOR has no value"},
      {"CTI3\nCREATED December 2006\n", 2, "more than one value"},
      {"CTI3\nCREATED \"December 2006\n", 2, "unterminated quoted string"},
      {"CTI3\nCREATED \"December\"2006\n", 2, "right after a closing quote"},
      {format + "NUMBER_OF_SETS 3\nBEGIN_DATA\n1 50\n2 60\nEND_DATA\n", 8,
       "NUMBER_OF_SETS (line 4) is 3 but 2 data sets were read"},
      {format + "NUMBER_OF_SETS 1\nBEGIN_DATA\n1 50\n2 60\nEND_DATA\n", 7,
       "more data sets than NUMBER_OF_SETS"},
      {format + "BEGIN_DATA\n1 50\n2\nEND_DATA\n", 6, "data set has 1 values but"},
      {format + "BEGIN_DATA\n1 50 7\n", 5, "data set has 3 values but"},
      {format + "BEGIN_DATA\n1 50\n2 60", 6, "file ends inside the data opened on line 4 after 2"},
      {format + "BEGIN_DATA\r\n1 50\r\n", 5, "END_DATA missing"},
      {format + "BEGIN_DATA\n1 END_DATA\n", 5, "END_DATA must stand on its own line"},
      {format + "BEGIN_DATA\n1 50\nBEGIN_DATA\n", 6, "END_DATA missing?"},
      {format + "BEGIN_DATA 1 50\n", 4, "unexpected text after BEGIN_DATA"},
      {format + "BEGIN_DATA\nEND_DATA\n\nBEGIN_DATA\n", 7, "only one table per file"},
      {format + "BEGIN_DATA_FORMAT\n", 4, "second BEGIN_DATA_FORMAT"},
      {"CTI3\nEND_DATA_FORMAT\n", 2, "END_DATA_FORMAT without BEGIN_DATA_FORMAT"},
      {"END_DATA\n", 1, "END_DATA without BEGIN_DATA"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    try {
      cgats::parse(c.text);
      ADD_FAILURE() << "accepted";
    } catch (const cgats::ParseError &error) {
      EXPECT_EQ(error.line, c.line) << error.what();
      EXPECT_NE(error.problem.find(c.message), std::string::npos) << error.what();
      EXPECT_EQ(std::string(error.what()), "line " + std::to_string(c.line) + ": " + error.problem);
    }
  }
  // Quoted section words are plain text, and comments may follow any line.
  const cgats::Data data = cgats::parse(
      "begin_data_format # lower case works\nA \"END_DATA\"\nend_data_format\nBEGIN_DATA\n"
      "\"BEGIN_DATA\" 'END_DATA'\nEND_DATA # done\n# trailing comment\n\n");
  EXPECT_EQ(data.fields, (std::vector<std::string>{"A", "END_DATA"}));
  ASSERT_EQ(data.rows.size(), 1u);
  EXPECT_EQ(data.rows[0], (std::vector<std::string>{"BEGIN_DATA", "END_DATA"}));
}

TEST(CgatsReader, ReadFileNamesThePathInParseErrorsAndFailsOnUnreadableFiles) {
  EXPECT_THROW(cgats::read_file(std::string(VELMORA_DATA_DIR) + "/no-such-file.ti3"),
               std::runtime_error);
  try {
    cgats::read_file(std::string(VELMORA_DATA_DIR) + "/FOGRA39L.NOTICE");
    ADD_FAILURE() << "the notice is not a CGATS file";
  } catch (const cgats::ParseError &error) {
    const std::string what = error.what();
    EXPECT_EQ(what.rfind(std::string(VELMORA_DATA_DIR) + "/FOGRA39L.NOTICE: line ", 0), 0u) << what;
    EXPECT_GT(error.line, 1);
  }
}

}  // namespace
