#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "pandix/pandix.h"

namespace {

std::string temp_path(const char *name) {
  const char *dir = std::getenv("VELMORA_TEST_TMP");
  return std::string(dir != nullptr ? dir : "/tmp") + "/" + name + "." + std::to_string(getpid());
}

bool exists(const std::string &path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

constexpr int kLockFlags = PANDIX_O_CREAT | PANDIX_O_TRUNC | PANDIX_O_EXCL | PANDIX_O_TEMPORARY;

TEST(OpenUtf8, ExclusiveCreateRefusesASecondOpenerAndTemporaryFilesVanishOnClose) {
  const std::string path = temp_path("pandix-excl");
  ::unlink(path.c_str());
  const int fd = open_utf8(path.c_str(), kLockFlags, PANDIX_S_IWRITE);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(exists(path));
  EXPECT_LT(open_utf8(path.c_str(), kLockFlags, PANDIX_S_IWRITE), 0);
  EXPECT_EQ(close_utf8(fd), 0);
  EXPECT_FALSE(exists(path));
  // The path is free again.
  const int again = open_utf8(path.c_str(), kLockFlags, PANDIX_S_IWRITE);
  ASSERT_GE(again, 0);
  EXPECT_EQ(close_utf8(again), 0);
}

TEST(OpenUtf8, OrdinaryFilesStayAndModesTranslate) {
  const std::string path = temp_path("pandix-plain");
  const int fd = open_utf8(path.c_str(), PANDIX_O_CREAT | PANDIX_O_WRONLY | PANDIX_O_TRUNC,
                           PANDIX_S_IWRITE | PANDIX_S_IREAD);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(::write(fd, "x", 1), 1);
  EXPECT_EQ(close_utf8(fd), 0);
  EXPECT_TRUE(exists(path));
  EXPECT_EQ(chmod_utf8(path.c_str(), PANDIX_S_IREAD), 0);
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0222, 0u);
  EXPECT_LT(open_utf8(path.c_str(), 0x10000, 0), 0);  // unknown flag bits are refused
  FILE *f = fopen_utf8(path.c_str(), "r");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(std::fgetc(f), 'x');
  std::fclose(f);
  ::unlink(path.c_str());
  EXPECT_EQ(fopen_utf8((path + "/no/such/dir").c_str(), "w"), nullptr);
}

}  // namespace
