#include "foundation/error.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "ostrel/ostrel.h"

namespace velmora {

namespace {
constexpr int kMessageBufferSize = 512;
constexpr int kProgressBufferSize = 256;
constexpr int kProgressLevel = 1;
}  // namespace

void report(const char *text, const char *file, int line) {
  error_mess_fl(text, file, line);
}

void report_no_resources(LastError &last, const char *file, int failure_line, int report_line) {
  std::snprintf(last.info, sizeof last.info, "%s", kNoResources);
  last.nr = 1;
  last.kind = 0;
  last.sys = ENOMEM;
  char text[kMessageBufferSize];
  // A long source path cuts the text short rather than overrunning the buffer.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-truncation"
#endif
  std::snprintf(text, sizeof text, "nr: %d, kind: %d, sys: %d, file: %s, line: %d, info: %s",
                last.nr, last.kind, last.sys, file, failure_line, last.info);
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
  error_mess_fl(text, file, report_line);
}

void report_progress(const char *format, ...) {
  thread_local char text[kProgressBufferSize];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  ostrel_warn(kProgressLevel, text);
}

}  // namespace velmora
