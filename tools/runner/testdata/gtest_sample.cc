// A GoogleTest program for ostrivel-run --gtest's tests: its own functions
// are built with -finstrument-functions (in one of its two builds), and a
// function-local static makes a test's calls depend on whether an earlier
// test of the same process has built it.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace sample {

int Square(int x) { return x * x; }

std::vector<int> BuildTable() {
  std::vector<int> table;
  for (int i = 0; i < 10; ++i) table.push_back(Square(i));
  return table;
}

int TableValue(int i) {
  static const std::vector<int> table = BuildTable();
  return table.at(static_cast<std::size_t>(i));
}

int LeftOnly(int x) { return x + 1; }
int RightOnly(int x) { return x - 1; }

}  // namespace sample

namespace {

// With SAMPLE_BARRIER naming a folder, the Overlap tests run their calls
// only while the other test runs too: Left calls first and waits for Right
// to have called, so a count shared between the two would show in Left's.
bool Arrive(const char* mine) {
  const char* folder = std::getenv("SAMPLE_BARRIER");
  if (folder == nullptr) return true;
  std::FILE* mark = std::fopen((std::string(folder) + "/" + mine).c_str(), "w");
  if (mark != nullptr) std::fclose(mark);
  return true;
}
bool AwaitOther(const char* other) {
  const char* folder = std::getenv("SAMPLE_BARRIER");
  if (folder == nullptr) return true;
  std::string path = std::string(folder) + "/" + other;
  for (int i = 0; i < 600; ++i) {
    if (std::FILE* mark = std::fopen(path.c_str(), "r")) {
      std::fclose(mark);
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

}  // namespace

namespace {

TEST(Table, First) { EXPECT_EQ(sample::TableValue(3), 9); }

TEST(Table, Second) { EXPECT_EQ(sample::TableValue(4), 16); }

TEST(Table, DISABLED_NeverRuns) { FAIL(); }

TEST(Table, FailsWhenAsked) {
  EXPECT_EQ(std::getenv("SAMPLE_FAIL"), nullptr) << "asked to fail";
}

TEST(Skipping, SkipsItself) { GTEST_SKIP() << "nothing to do here"; }

// Long enough for a test to stop ostrivel-run while it runs.
TEST(Slow, SleepsWhenAsked) {
  if (std::getenv("SAMPLE_SLEEP") != nullptr) {
    std::this_thread::sleep_for(std::chrono::seconds(5));
  }
}

class Squares : public ::testing::TestWithParam<int> {};

TEST_P(Squares, AreProducts) {
  EXPECT_EQ(sample::Square(GetParam()), GetParam() * GetParam());
}

INSTANTIATE_TEST_SUITE_P(Small, Squares, ::testing::Values(2, 3));

template <typename T>
class Typed : public ::testing::Test {};

using Types = ::testing::Types<int, long>;
TYPED_TEST_SUITE(Typed, Types);

TYPED_TEST(Typed, ZeroSquared) { EXPECT_EQ(sample::Square(0), 0); }

TEST(Overlap, Left) {
  EXPECT_EQ(sample::LeftOnly(1), 2);
  Arrive("left");
  EXPECT_TRUE(AwaitOther("right")) << "Overlap.Right did not run meanwhile";
}

TEST(Overlap, Right) {
  EXPECT_TRUE(AwaitOther("left")) << "Overlap.Left did not run meanwhile";
  EXPECT_EQ(sample::RightOnly(1), 0);
  Arrive("right");
}

}  // namespace
