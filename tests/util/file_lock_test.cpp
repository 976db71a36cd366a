#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "foundation/alloc.h"
#include "velmora/file_lock.h"

namespace {

std::string scratch_dir() {
  const char *dir = std::getenv("VELMORA_TEST_TMP");
  return dir != nullptr ? dir : "/tmp";
}

std::string lock_path(const std::string &name) {
  return scratch_dir() + "/" + name + "." + std::to_string(getpid()) + ".lock";
}

bool exists(const std::string &path) {
  return ::access(path.c_str(), F_OK) == 0;
}

// Runs flock_get(path) in a forked child that exits without releasing; returns 0 when the child
// got the lock, 1 when it was refused, -1 when it did not exit normally.
int take_in_child(const std::string &path) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(flock_get(path.c_str()) != nullptr ? 0 : 1);
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// Starts `takers` processes that call flock_get on path at the same moment and hold what they
// got until all have tried; returns how many got the lock.
int racing_takers(const std::string &path, int takers) {
  int start[2], results[2], release[2];
  if (::pipe(start) != 0 || ::pipe(results) != 0 || ::pipe(release) != 0) return -1;
  std::vector<pid_t> children;
  for (int i = 0; i < takers; ++i) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::close(start[1]);
      ::close(release[1]);
      char byte;
      (void)::read(start[0], &byte, 1);  // returns when the parent closes its end
      FLOCK *lock = flock_get(path.c_str());
      byte = lock != nullptr ? '1' : '0';
      (void)::write(results[1], &byte, 1);
      (void)::read(release[0], &byte, 1);
      flock_free(lock);
      ::_exit(0);
    }
    children.push_back(pid);
  }
  ::close(start[1]);
  int winners = 0;
  for (char byte = '0'; takers-- > 0; byte = '0')
    winners += ::read(results[0], &byte, 1) == 1 && byte == '1';
  ::close(release[1]);
  for (pid_t pid : children)
    ::waitpid(pid, nullptr, 0);
  for (int fd : {start[0], results[0], results[1], release[0]})
    ::close(fd);
  return winners;
}

// Also with a bare file name, which locks in the current directory.
TEST(FileLock,
     RefusesOtherTakersWhileHeldAndExactlyOneOfConcurrentRacersTakesAFreeOrADeadHoldersLock) {
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(::chdir(scratch_dir().c_str()), 0);
  const std::string bare = "bare-name." + std::to_string(getpid()) + ".lock";
  for (const std::string &path : {lock_path("taker"), bare}) {
    FLOCK *held = flock_get(path.c_str());
    ASSERT_NE(held, nullptr) << path;
    // The held lock file is read-only for everybody, whatever the umask.
    struct stat status {};
    ASSERT_EQ(::stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0444u) << std::oct << (status.st_mode & 07777);
    EXPECT_EQ(flock_get(path.c_str()), nullptr) << "this process";
    EXPECT_EQ(take_in_child(path), 1) << "another process";
    EXPECT_TRUE(exists(path)) << "a refused taker must not remove the holder's file";
    EXPECT_EQ(flock_free(held), nullptr);
    EXPECT_FALSE(exists(path));
    EXPECT_EQ(racing_takers(path, 6), 1) << "free lock";
    // The child exits holding the lock: its file stays, but nobody holds it any more.
    ASSERT_EQ(take_in_child(path), 0);
    ASSERT_TRUE(exists(path));
    EXPECT_EQ(racing_takers(path, 6), 1) << "stale lock";
    EXPECT_FALSE(exists(path));
  }
  ASSERT_EQ(::chdir(cwd), 0);
  EXPECT_EQ(flock_free(nullptr), nullptr);
}

TEST(FileLock, RefusesPathsItCannotOrMustNotCreateAndLeavesNothingBehind) {
  for (const char *bad : {static_cast<const char *>(nullptr), "", "/no-such-directory/x.lock"})
    EXPECT_EQ(flock_get(bad), nullptr);
  // 255 bytes are taken; 256 are refused rather than cut to the 255-byte name.
  std::string longest = lock_path("long");
  longest.resize(FLOCK_PATH_SIZE - 1, 'x');
  FLOCK *lock = flock_get(longest.c_str());
  ASSERT_NE(lock, nullptr);
  flock_free(lock);
  EXPECT_EQ(flock_get((longest + "x").c_str()), nullptr);
  EXPECT_FALSE(exists(longest) || exists(longest + "x"));
  // A failed allocation of the record removes the file it had created.
  const std::string path = lock_path("no-memory");
  velmora::test_hooks::fail_allocations_after(0);
  EXPECT_EQ(flock_get(path.c_str()), nullptr);
  velmora::test_hooks::fail_allocations_after(-1);
  EXPECT_FALSE(exists(path));
}

}  // namespace
