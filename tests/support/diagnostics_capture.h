// Records every report of the diagnostics sink while in scope, so a test can assert both the
// messages it expects and the absence of any other. Recording is thread-safe; read the records
// once the reporting threads have finished.
#ifndef VELMORA_TESTS_SUPPORT_DIAGNOSTICS_CAPTURE_H
#define VELMORA_TESTS_SUPPORT_DIAGNOSTICS_CAPTURE_H

#include <mutex>
#include <string>
#include <vector>

namespace velmora::testing {

struct Report {
  std::string text;
  std::string file;
  int line;
};

class DiagnosticsCapture {
 public:
  DiagnosticsCapture();
  ~DiagnosticsCapture();
  DiagnosticsCapture(const DiagnosticsCapture &) = delete;
  DiagnosticsCapture &operator=(const DiagnosticsCapture &) = delete;

  const std::vector<Report> &errors() const { return errors_; }
  // Progress lines with their level.
  const std::vector<std::pair<int, std::string>> &progress() const { return progress_; }
  // The error texts alone, in order.
  std::vector<std::string> error_texts() const;
  void clear();

 private:
  static void on_error(void *user, const char *text, const char *file, int line);
  static void on_warn(void *user, int level, const char *text);

  std::mutex lock_;  // reports may arrive from several threads at once
  std::vector<Report> errors_;
  std::vector<std::pair<int, std::string>> progress_;
};

}  // namespace velmora::testing

#endif
