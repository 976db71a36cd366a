// UTF-8 file opening on POSIX. Paths are byte strings here, so UTF-8 passes through unchanged;
// the work is translating the foreign flag values and realising delete-on-close.
#include "pandix/pandix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>
#include <new>
#include <string>

namespace {

constexpr int kAccessMask = 0x0003;
constexpr int kKnownFlags = kAccessMask | PANDIX_O_APPEND | PANDIX_O_TEMPORARY | PANDIX_O_CREAT |
                            PANDIX_O_TRUNC | PANDIX_O_EXCL | PANDIX_O_TEXT | PANDIX_O_BINARY;

// Paths of the descriptors opened as temporary, removed when they are closed.
struct TemporaryFiles {
  std::mutex lock;
  std::map<int, std::string> paths;
};

TemporaryFiles &temporaries() {
  static TemporaryFiles instance;
  return instance;
}

int posix_flags(int flags) {
  int result = O_CLOEXEC;
  switch (flags & kAccessMask) {
    case PANDIX_O_WRONLY:
      result |= O_WRONLY;
      break;
    case PANDIX_O_RDWR:
      result |= O_RDWR;
      break;
    default:
      result |= O_RDONLY;
      break;
  }
  if (flags & PANDIX_O_APPEND) result |= O_APPEND;
  if (flags & PANDIX_O_CREAT) result |= O_CREAT;
  if (flags & PANDIX_O_TRUNC) result |= O_TRUNC;
  if (flags & PANDIX_O_EXCL) result |= O_EXCL;
  return result;
}

mode_t posix_mode(int mode) {
  mode_t result = S_IRUSR | S_IRGRP | S_IROTH;
  if (mode & PANDIX_S_IWRITE) result |= S_IWUSR | S_IWGRP | S_IWOTH;
  return result;
}

}  // namespace

extern "C" int open_utf8(const char *path, int flags, int mode) {
  if (path == nullptr || (flags & ~kKnownFlags) != 0) {
    errno = EINVAL;
    return -1;
  }
  const int fd = ::open(path, posix_flags(flags), posix_mode(mode));
  if (fd < 0 || (flags & PANDIX_O_TEMPORARY) == 0) return fd;
  try {
    std::lock_guard guard(temporaries().lock);
    temporaries().paths[fd] = path;
  } catch (const std::bad_alloc &) {
    ::close(fd);
    ::unlink(path);
    errno = ENOMEM;
    return -1;
  }
  return fd;
}

extern "C" int close_utf8(int fd) {
  std::string temporary_path;
  {
    std::lock_guard guard(temporaries().lock);
    auto it = temporaries().paths.find(fd);
    if (it != temporaries().paths.end()) {
      temporary_path.swap(it->second);
      temporaries().paths.erase(it);
    }
  }
  // Remove before closing, so no other opener of the same path can slip in between.
  if (!temporary_path.empty()) ::unlink(temporary_path.c_str());
  return ::close(fd);
}

extern "C" int chmod_utf8(const char *path, int mode) {
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  return ::chmod(path, posix_mode(mode));
}

extern "C" FILE *fopen_utf8(const char *path, const char *mode) {
  if (path == nullptr || mode == nullptr) return nullptr;
  return std::fopen(path, mode);
}
