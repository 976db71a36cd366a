#include <gtest/gtest.h>

#include "ostrel/ostrel.h"
#include "support/diagnostics_capture.h"

namespace {

TEST(Diagnostics, HandlerReceivesReportsAndDefaultIsRestored) {
  {
    velmora::testing::DiagnosticsCapture capture;
    error_mess_fl("boom", "file.cpp", 12);
    ostrel_warn(1, "progress");
    ASSERT_EQ(capture.errors().size(), 1u);
    EXPECT_EQ(capture.errors()[0].text, "boom");
    EXPECT_EQ(capture.errors()[0].file, "file.cpp");
    EXPECT_EQ(capture.errors()[0].line, 12);
    ASSERT_EQ(capture.progress().size(), 1u);
    EXPECT_EQ(capture.progress()[0].first, 1);
    EXPECT_EQ(capture.progress()[0].second, "progress");
  }
  // Default: errors go to stderr, progress is dropped.
  ::testing::internal::CaptureStderr();
  error_mess_fl("to stderr", "f.c", 3);
  ostrel_warn(1, "dropped");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "f.c:3: to stderr\n");
}

}  // namespace
