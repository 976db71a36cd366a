#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

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

// The capture's handlers are called from every thread that reports; none of the reports may be
// lost or torn.
TEST(Diagnostics, ConcurrentReportsFromSeveralThreadsAreAllRecorded) {
  constexpr int kThreads = 4, kReports = 200;
  velmora::testing::DiagnosticsCapture capture;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t] {
      const std::string text = "thread " + std::to_string(t);
      for (int i = 0; i < kReports; ++i) {
        error_mess_fl(text.c_str(), "worker.cpp", i);
        ostrel_warn(1, text.c_str());
      }
    });
  for (std::thread &thread : threads)
    thread.join();
  ASSERT_EQ(capture.errors().size(), static_cast<size_t>(kThreads * kReports));
  ASSERT_EQ(capture.progress().size(), static_cast<size_t>(kThreads * kReports));
  for (int t = 0; t < kThreads; ++t) {
    const std::string text = "thread " + std::to_string(t);
    std::vector<int> lines;
    for (const velmora::testing::Report &r : capture.errors())
      if (r.text == text) lines.push_back(r.line);
    ASSERT_EQ(lines.size(), static_cast<size_t>(kReports)) << text;
    EXPECT_TRUE(std::is_sorted(lines.begin(), lines.end()))
        << "one thread's reports keep their order";
  }
}

}  // namespace
