// The library's error convention: every failure is reported once, where it happens, through the
// diagnostics sink, and the failing function then returns its failure value.
#ifndef VELMORA_FOUNDATION_ERROR_H
#define VELMORA_FOUNDATION_ERROR_H

namespace velmora {

// A module's record of its last allocation failure. Written, never read back by the library.
struct LastError {
  char info[516];
  int nr;
  int kind;
  int sys;
};

inline constexpr const char *kNoResources = "No resources available";

// Plain form: hands a fixed message to the diagnostics sink.
void report(const char *text, const char *file, int line);

// Formatted form for allocation failures: records "No resources available" in last (nr 1, kind 0,
// sys ENOMEM), formats "nr: %d, kind: %d, sys: %d, file: %s, line: %d, info: %s" with the line of
// the failure into a bounded 512-character buffer (cut, never overrun) and reports it with the
// module's report-site line.
void report_no_resources(LastError &last, const char *file, int failure_line, int report_line);

// Progress form: formats into a bounded 256-character buffer (cut when longer) and passes the
// text to the diagnostics sink's progress channel at level 1.
void report_progress(const char *format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace velmora

#define VELMORA_REPORT(text) ::velmora::report((text), __FILE__, __LINE__)

#endif
