// The diagnostics sink: error reports go to stderr and progress lines are dropped, unless the
// application installs handlers of its own.
#include <cstdio>
#include <mutex>

#include "ostrel/ostrel.h"

namespace {

struct Handlers {
  std::mutex lock;
  ostrel_error_handler on_error = nullptr;
  void *error_user = nullptr;
  ostrel_warn_handler on_warn = nullptr;
  void *warn_user = nullptr;
};

Handlers &handlers() {
  static Handlers instance;
  return instance;
}

}  // namespace

extern "C" void error_mess_fl(const char *text, const char *file, int line) {
  ostrel_error_handler handler;
  void *user;
  {
    std::lock_guard guard(handlers().lock);
    handler = handlers().on_error;
    user = handlers().error_user;
  }
  if (handler != nullptr) {
    handler(user, text, file, line);
    return;
  }
  std::fprintf(stderr, "%s:%d: %s\n", file != nullptr ? file : "?", line,
               text != nullptr ? text : "");
}

extern "C" void ostrel_warn(int level, const char *text) {
  ostrel_warn_handler handler;
  void *user;
  {
    std::lock_guard guard(handlers().lock);
    handler = handlers().on_warn;
    user = handlers().warn_user;
  }
  if (handler != nullptr) handler(user, level, text);
}

extern "C" void ostrel_set_error_handler(ostrel_error_handler handler, void *user) {
  std::lock_guard guard(handlers().lock);
  handlers().on_error = handler;
  handlers().error_user = handler != nullptr ? user : nullptr;
}

extern "C" void ostrel_set_warn_handler(ostrel_warn_handler handler, void *user) {
  std::lock_guard guard(handlers().lock);
  handlers().on_warn = handler;
  handlers().warn_user = handler != nullptr ? user : nullptr;
}
