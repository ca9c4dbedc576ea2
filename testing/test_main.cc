// The main of every unit test: no test may block on a warning or write to
// standard error by accident, so both are captured for the whole run unless
// a test installs its own recorder.

#include <gtest/gtest.h>

#include "testing/fake_platform.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ostrivel::testing::CapturedOutput quiet;
  return RUN_ALL_TESTS();
}
