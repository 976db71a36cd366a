// Lock files.
//
// The lock is the existence of a file created exclusively through Pandix with delete-on-close, so
// that flock_free (close_utf8) removes it. A lock file alone would outlive a holder that dies, so
// the open descriptor also carries an exclusive flock(2) for the life of the lock: a file at the
// path whose flock can be taken has no live holder. Taking it over means removing that file while
// holding its flock (nobody else can then remove or take the same file) and creating a fresh one.
// Creation and the flock are two steps, so every flock_get first takes a flock on the directory
// of the lock file: no prober can then look at a file between its creation and its flock.
#include "velmora/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "foundation/alloc.h"
#include "pandix/pandix.h"

namespace {

// Create + truncate + exclusive + delete-on-close, read-only access (0x740); created writable,
// then made read-only once the lock is held.
constexpr int kLockFlags =
    PANDIX_O_RDONLY | PANDIX_O_CREAT | PANDIX_O_TRUNC | PANDIX_O_EXCL | PANDIX_O_TEMPORARY;
constexpr int kCreateMode = PANDIX_S_IWRITE;
constexpr int kHeldMode = PANDIX_S_IREAD;
constexpr int kProbeFlags = PANDIX_O_RDONLY;

// A stale file is removed and the creation retried; a bound guards against outside interference.
constexpr int kCreationAttempts = 3;

int flock_retrying(int fd, int operation) {
  int result;
  do {
    result = ::flock(fd, operation);
  } while (result != 0 && errno == EINTR);
  return result;
}

// Exclusive flock on the directory that holds a lock file, for the duration of one flock_get.
class DirectoryGuard {
 public:
  explicit DirectoryGuard(const char *lock_path) {
    char directory[FLOCK_PATH_SIZE];
    directory_of(lock_path, directory);
    fd_ = ::open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ >= 0 && flock_retrying(fd_, LOCK_EX) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~DirectoryGuard() {
    if (fd_ >= 0) ::close(fd_);  // drops the flock
  }
  DirectoryGuard(const DirectoryGuard &) = delete;
  DirectoryGuard &operator=(const DirectoryGuard &) = delete;

  bool held() const { return fd_ >= 0; }

 private:
  // lock_path is shorter than FLOCK_PATH_SIZE; its directory is everything before the last '/'.
  static void directory_of(const char *lock_path, char *directory) {
    const char *slash = std::strrchr(lock_path, '/');
    if (slash == nullptr) {
      std::strcpy(directory, ".");
    } else if (slash == lock_path) {
      std::strcpy(directory, "/");
    } else {
      const size_t length = static_cast<size_t>(slash - lock_path);
      std::memcpy(directory, lock_path, length);
      directory[length] = '\0';
    }
  }

  int fd_ = -1;
};

bool is_same_file(int fd, const char *path) {
  struct stat opened, named;
  return ::fstat(fd, &opened) == 0 && ::stat(path, &named) == 0 && opened.st_dev == named.st_dev &&
         opened.st_ino == named.st_ino;
}

// Called under the directory guard after exclusive creation found the file. Returns true when the
// path may be created again: the file had no live holder and is removed, or it is already gone.
// Returns false while a live process holds it, or when it cannot be examined or removed.
bool remove_if_stale(const char *path) {
  const int probe = open_utf8(path, kProbeFlags, 0);
  if (probe < 0) return errno == ENOENT;
  bool may_create = false;
  if (::flock(probe, LOCK_EX | LOCK_NB) == 0) {
    // Holding the file's flock, nobody else can remove or reuse this file; check that it is still
    // the one at the path (its holder may have released it just before).
    may_create = !is_same_file(probe, path) || ::unlink(path) == 0;
  }
  close_utf8(probe);
  return may_create;
}

// Creates the lock file and locks its descriptor; -1 when the file exists or cannot be made.
int create_locked(const char *path) {
  const int fd = open_utf8(path, kLockFlags, kCreateMode);
  if (fd < 0) return -1;
  if (flock_retrying(fd, LOCK_EX | LOCK_NB) != 0) {
    const int saved = errno;
    close_utf8(fd);  // removes the file
    errno = saved;
    return -1;
  }
  return fd;
}

int take_lock(const char *path) {
  const DirectoryGuard guard(path);
  if (!guard.held()) return -1;
  for (int attempt = 0; attempt < kCreationAttempts; ++attempt) {
    const int fd = create_locked(path);
    if (fd >= 0) return fd;
    if (errno != EEXIST || !remove_if_stale(path)) return -1;
  }
  return -1;
}

}  // namespace

extern "C" FLOCK *flock_get(const char *path) {
  if (path == nullptr) return nullptr;
  const size_t length = ::strnlen(path, FLOCK_PATH_SIZE);
  if (length == 0 || length >= FLOCK_PATH_SIZE) return nullptr;  // never truncate into another path

  const int fd = take_lock(path);
  if (fd < 0) return nullptr;
  auto *lock = static_cast<FLOCK *>(velmora::mem_calloc(1, sizeof(FLOCK)));
  if (lock == nullptr) {
    close_utf8(fd);  // removes the file
    return nullptr;
  }
  std::memcpy(lock->path, path, length + 1);
  lock->fd = fd;
  chmod_utf8(lock->path, kHeldMode);
  return lock;
}

extern "C" FLOCK *flock_free(FLOCK *lock) {
  if (lock == nullptr) return nullptr;
  close_utf8(lock->fd);  // removes the file, then closes, which drops the flock
  velmora::mem_free(lock);
  return nullptr;
}
