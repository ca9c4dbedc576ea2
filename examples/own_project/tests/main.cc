#include <gtest/gtest.h>

#include <ostrivel/gtest_listener.h>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ostrivel::InstallCoverageListener();  // reads OSTRIVEL_CONFIG
  return RUN_ALL_TESTS();
}
