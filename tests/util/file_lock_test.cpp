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

// Runs body in a forked child and returns its exit status (or -1 if it did not exit normally).
template <typename Body>
int in_child(Body body) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST(FileLock, OneTakerAtATimeAndTheFileLivesExactlyAsLongAsTheLock) {
  const std::string absolute = lock_path("one-taker");
  const std::string name = "relative-one-taker." + std::to_string(getpid()) + ".lock";
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(::chdir(scratch_dir().c_str()), 0);  // a bare file name locks in the current directory
  for (const std::string &path : {absolute, name}) {
    FLOCK *first = flock_get(path.c_str());
    ASSERT_NE(first, nullptr) << path;
    EXPECT_EQ(std::string(first->path), path);
    EXPECT_GE(first->fd, 0);
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0222, 0u) << "the held lock file is read-only";

    EXPECT_EQ(flock_get(path.c_str()), nullptr);
    EXPECT_TRUE(exists(path)) << "a refused taker must not remove the holder's file";
    EXPECT_EQ(flock_free(first), nullptr);
    EXPECT_FALSE(exists(path));

    FLOCK *again = flock_get(path.c_str());
    ASSERT_NE(again, nullptr);
    flock_free(again);
    EXPECT_FALSE(exists(path));
  }
  ASSERT_EQ(::chdir(cwd), 0);
  EXPECT_EQ(flock_free(nullptr), nullptr);
}

TEST(FileLock, AnotherProcessIsRefusedWhileTheHolderLivesAndTakesOverOnceItDied) {
  const std::string path = lock_path("other-process");
  const auto take = [&] { return flock_get(path.c_str()) != nullptr ? 0 : 1; };
  FLOCK *held = flock_get(path.c_str());
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(in_child(take), 1);
  EXPECT_TRUE(exists(path));
  flock_free(held);

  // The child exits holding the lock: its file stays, but nobody holds it any more.
  ASSERT_EQ(in_child(take), 0);
  ASSERT_TRUE(exists(path));
  FLOCK *lock = flock_get(path.c_str());
  ASSERT_NE(lock, nullptr);
  EXPECT_EQ(in_child(take), 1) << "the taken-over lock is held again";
  flock_free(lock);
  EXPECT_FALSE(exists(path));
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
  constexpr int kTakers = 6;
  constexpr int kRounds = 10;
  const std::string path = lock_path("race");
  for (int round = 0; round < kRounds; ++round) {
    const bool stale = round % 2 == 1;
    if (stale) {
      ASSERT_EQ(in_child([&] { return flock_get(path.c_str()) != nullptr ? 0 : 1; }), 0);
    }
    EXPECT_EQ(racing_takers(path, kTakers), 1) << (stale ? "stale lock" : "free lock");
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
  const std::string too_long = longest + "x";
  FLOCK *lock = flock_get(longest.c_str());
  ASSERT_NE(lock, nullptr);
  flock_free(lock);
  EXPECT_EQ(flock_get(too_long.c_str()), nullptr);
  EXPECT_FALSE(exists(longest));
  EXPECT_FALSE(exists(too_long));

  // A failed allocation of the record removes the file it had created.
  const std::string path = lock_path("no-memory");
  velmora::test_hooks::fail_allocations_after(0);
  EXPECT_EQ(flock_get(path.c_str()), nullptr);
  velmora::test_hooks::fail_allocations_after(-1);
  EXPECT_FALSE(exists(path));
}

TEST(FileLock, RefusesALockInADirectoryWithoutWritePermission) {
  if (::geteuid() == 0) GTEST_SKIP() << "directory permissions do not stop root";
  const std::string dir = scratch_dir() + "/read-only." + std::to_string(getpid());
  ::rmdir(dir.c_str());
  ASSERT_EQ(::mkdir(dir.c_str(), 0555), 0);
  const std::string path = dir + "/x.lock";
  EXPECT_EQ(flock_get(path.c_str()), nullptr);
  EXPECT_FALSE(exists(path));
  ::rmdir(dir.c_str());
}

}  // namespace
