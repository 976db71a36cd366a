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
  const std::string path = scratch_dir() + "/" + name + "." + std::to_string(getpid()) + ".lock";
  ::unlink(path.c_str());
  return path;
}

bool exists(const std::string &path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
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

TEST(FileLock, RefusesOtherTakersWhileHeldAndTakesOverFromADeadHolder) {
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(::chdir(scratch_dir().c_str()), 0);  // a bare file name locks in the current directory
  const std::string bare = "bare-name." + std::to_string(getpid()) + ".lock";
  for (const std::string &path : {lock_path("taker"), bare}) {
    FLOCK *held = flock_get(path.c_str());
    ASSERT_NE(held, nullptr) << path;
    EXPECT_EQ(std::string(held->path), path);
    EXPECT_EQ(flock_get(path.c_str()), nullptr) << "this process";
    EXPECT_EQ(take_in_child(path), 1) << "another process";
    EXPECT_TRUE(exists(path)) << "a refused taker must not remove the holder's file";
    EXPECT_EQ(flock_free(held), nullptr);
    EXPECT_FALSE(exists(path));

    // The child exits holding the lock: its file stays, but nobody holds it any more.
    ASSERT_EQ(take_in_child(path), 0);
    ASSERT_TRUE(exists(path));
    held = flock_get(path.c_str());
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(take_in_child(path), 1) << "the taken-over lock is held again";
    flock_free(held);
    EXPECT_FALSE(exists(path));
  }
  ASSERT_EQ(::chdir(cwd), 0);
  EXPECT_EQ(flock_free(nullptr), nullptr);
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
  ::close(start[0]);
  ::close(start[1]);
  int winners = 0;
  for (int i = 0; i < takers; ++i) {
    char byte = '0';
    if (::read(results[0], &byte, 1) == 1 && byte == '1') ++winners;
  }
  ::close(release[1]);
  for (pid_t pid : children)
    ::waitpid(pid, nullptr, 0);
  for (int fd : {results[0], results[1], release[0]})
    ::close(fd);
  return winners;
}

TEST(FileLock, ExactlyOneOfManySimultaneousTakersWinsAFreeOrAStaleLock) {
  const std::string path = lock_path("race");
  for (int round = 0; round < 6; ++round) {
    const bool stale = round % 2 == 1;
    if (stale) {
      ASSERT_EQ(take_in_child(path), 0);  // a holder that died without releasing
    }
    EXPECT_EQ(racing_takers(path, 6), 1) << (stale ? "stale lock" : "free lock");
    EXPECT_FALSE(exists(path));
  }
}

TEST(FileLock, RefusesPathsItCannotOrMustNotCreateAndLeavesNothingBehind) {
  const std::string dir = scratch_dir();
  EXPECT_EQ(flock_get(nullptr), nullptr);
  EXPECT_EQ(flock_get(""), nullptr);
  EXPECT_EQ(flock_get((dir + "/no-such-directory/x.lock").c_str()), nullptr);

  // 255 bytes are taken; 256 are refused rather than cut to the 255-byte name.
  const std::string prefix = dir + "/long.";
  ASSERT_LT(prefix.size(), 200u);
  const std::string longest = prefix + std::string(FLOCK_PATH_SIZE - 1 - prefix.size(), 'x');
  FLOCK *lock = flock_get(longest.c_str());
  ASSERT_NE(lock, nullptr);
  flock_free(lock);
  EXPECT_EQ(flock_get((longest + "x").c_str()), nullptr);
  EXPECT_FALSE(exists(longest));
  EXPECT_FALSE(exists(longest + "x"));

  // A failed allocation of the record removes the file it had created.
  const std::string path = lock_path("no-memory");
  velmora::test_hooks::fail_allocations_after(0);
  EXPECT_EQ(flock_get(path.c_str()), nullptr);
  velmora::test_hooks::fail_allocations_after(-1);
  EXPECT_FALSE(exists(path));
}

}  // namespace
