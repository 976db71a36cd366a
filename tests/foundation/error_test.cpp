#include <gtest/gtest.h>

#include <string>

#include "foundation/error.h"
#include "support/diagnostics_capture.h"

namespace {

using velmora::testing::DiagnosticsCapture;

TEST(ErrorReport, FormattedFormRecordsTheFailureAndReportsAtTheReportSite) {
  DiagnosticsCapture capture;
  velmora::LastError last{};
  velmora::report_no_resources(last, "/src/mat.cpp", 41, 97);
  ASSERT_EQ(capture.errors().size(), 1u);
  EXPECT_EQ(capture.errors()[0].text,
            "nr: 1, kind: 0, sys: 12, file: /src/mat.cpp, line: 41, info: No resources available");
  EXPECT_EQ(capture.errors()[0].file, "/src/mat.cpp");
  EXPECT_EQ(capture.errors()[0].line, 97);
  EXPECT_STREQ(last.info, "No resources available");
  EXPECT_EQ(last.nr, 1);
  EXPECT_EQ(last.kind, 0);
  EXPECT_EQ(last.sys, 12);
  EXPECT_TRUE(capture.progress().empty());
}

// Texts that would overrun the fixed buffers are cut instead.
TEST(ErrorReport, LongPathsAndHugeValuesAreCutToTheBuffers) {
  DiagnosticsCapture capture;
  velmora::LastError last{};
  const std::string path = "/" + std::string(700, 'p') + "/mat.cpp";
  velmora::report_no_resources(last, path.c_str(), 1, 2);
  ASSERT_EQ(capture.errors().size(), 1u);
  EXPECT_EQ(capture.errors()[0].text.size(), 511u);
  EXPECT_EQ(capture.errors()[0].text.rfind("nr: 1, kind: 0, sys: 12, file: /ppp", 0), 0u);

  velmora::report_progress("  dir %d -> meddE = %lf\n", 3, 1e240);
  velmora::report_progress("condirmin: iter= %d\n", 7);
  ASSERT_EQ(capture.progress().size(), 2u);
  EXPECT_EQ(capture.progress()[0].first, 1);
  EXPECT_EQ(capture.progress()[0].second.size(), 255u);
  EXPECT_EQ(capture.progress()[0].second.rfind("  dir 3 -> meddE = 1000000", 0), 0u);
  EXPECT_EQ(capture.progress()[1].second, "condirmin: iter= 7\n");
}

TEST(ErrorReport, PlainFormPassesTheSourceLocation) {
  DiagnosticsCapture capture;
  const int line = __LINE__ + 1;
  VELMORA_REPORT("md_tetra_new: illegal dimension");
  ASSERT_EQ(capture.errors().size(), 1u);
  EXPECT_EQ(capture.errors()[0].text, "md_tetra_new: illegal dimension");
  EXPECT_EQ(capture.errors()[0].file, __FILE__);
  EXPECT_EQ(capture.errors()[0].line, line);
}

}  // namespace
