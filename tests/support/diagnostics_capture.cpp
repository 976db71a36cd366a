#include "support/diagnostics_capture.h"

#include "ostrel/ostrel.h"

namespace velmora::testing {

DiagnosticsCapture::DiagnosticsCapture() {
  ostrel_set_error_handler(&DiagnosticsCapture::on_error, this);
  ostrel_set_warn_handler(&DiagnosticsCapture::on_warn, this);
}

DiagnosticsCapture::~DiagnosticsCapture() {
  ostrel_set_error_handler(nullptr, nullptr);
  ostrel_set_warn_handler(nullptr, nullptr);
}

std::vector<std::string> DiagnosticsCapture::error_texts() const {
  std::vector<std::string> texts;
  for (const Report &r : errors_)
    texts.push_back(r.text);
  return texts;
}

void DiagnosticsCapture::clear() {
  std::lock_guard guard(lock_);
  errors_.clear();
  progress_.clear();
}

void DiagnosticsCapture::on_error(void *user, const char *text, const char *file, int line) {
  auto *self = static_cast<DiagnosticsCapture *>(user);
  std::lock_guard guard(self->lock_);
  self->errors_.push_back({text, file ? file : "", line});
}

void DiagnosticsCapture::on_warn(void *user, int level, const char *text) {
  auto *self = static_cast<DiagnosticsCapture *>(user);
  std::lock_guard guard(self->lock_);
  self->progress_.emplace_back(level, text);
}

}  // namespace velmora::testing
