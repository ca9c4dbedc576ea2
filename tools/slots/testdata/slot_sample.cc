// A GoogleTest program with the coverage listener, built with
// -finstrument-functions and the probe, for slot_test. Its two tests call
// disjoint functions. With SLOT_SAMPLE_BARRIER naming a folder, each test
// waits before its calls until the other test has started, and after them
// until the other has made its calls: run in two processes at once, the
// two tests overlap from their start to their end.

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "ostrivel/gtest_listener.h"

namespace sample {

int Left(int x) { return x + 1; }
int LeftTwice(int x) { return Left(Left(x)); }
int Right(int x) { return x * 2; }
int RightTwice(int x) { return Right(Right(x)); }

}  // namespace sample

namespace {

// Marks "self" in the barrier folder and waits (at most 30 s) for "other".
void Meet(const std::string& self, const std::string& other) {
  const char* folder = std::getenv("SLOT_SAMPLE_BARRIER");
  if (folder == nullptr) return;
  std::ofstream(std::string(folder) + "/" + self) << "here\n";
  std::filesystem::path wanted = std::string(folder) + "/" + other;
  for (int i = 0; i < 600 && !std::filesystem::exists(wanted); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(std::filesystem::exists(wanted))
      << other << " did not show within 30 s";
}

TEST(Left, CallsLeftOnly) {
  Meet("left-started", "right-started");
  EXPECT_EQ(sample::LeftTwice(1), 3);
  Meet("left-called", "right-called");
}

TEST(Right, CallsRightOnly) {
  Meet("right-started", "left-started");
  EXPECT_EQ(sample::RightTwice(1), 4);
  Meet("right-called", "left-called");
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ostrivel::InstallCoverageListener();
  return RUN_ALL_TESTS();
}
