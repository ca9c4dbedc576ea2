#include "tools/process/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace ostrivel::process {
namespace {

using ::testing::HasSubstr;

TEST(RunCommandTest, ReportsExitCodeSignalAndOutput) {
  CommandResult passed = RunCommand("echo out; echo err >&2", {});
  EXPECT_TRUE(passed.Passed());
  EXPECT_EQ(passed.output, "out\nerr\n");

  CommandResult failed = RunCommand("exit 3", {});
  EXPECT_FALSE(failed.Passed());
  EXPECT_EQ(failed.Describe(), "exit code 3");

  CommandResult killed = RunCommand("kill -9 $$", {});
  EXPECT_FALSE(killed.Passed());
  EXPECT_THAT(killed.Describe(), HasSubstr("killed by signal 9"));
}

TEST(RunCommandTest, StandardInputIsEmptyAndEnvironmentIsPassedThrough) {
  ::setenv("OSTRIVEL_RUNNER_TEST_MARK", "inherited", 1);
  CommandOptions options;
  options.environment = {{"OSTRIVEL_RUNNER_TEST_ADDED", "added"},
                         {"OSTRIVEL_RUNNER_TEST_MARK", "replaced"}};
  CommandResult result = RunCommand(
      "cat; echo \"$OSTRIVEL_RUNNER_TEST_ADDED $OSTRIVEL_RUNNER_TEST_MARK\"",
      options);
  ::unsetenv("OSTRIVEL_RUNNER_TEST_MARK");
  EXPECT_TRUE(result.Passed());
  EXPECT_EQ(result.output, "added replaced\n");
}

TEST(RunCommandTest, TimeOutKillsTheCommandAndItsChildren) {
  // The command and the child it starts inherit the write end of a pipe;
  // the read end reports its end once the last holder is gone, so the test
  // waits for exactly that event.
  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  ASSERT_EQ(::fcntl(ends[1], F_SETFD, 0), 0);
  CommandOptions options;
  options.timeoutMs = 200;
  CommandResult result = RunCommand("sleep 30 & wait", options);
  ::close(ends[1]);
  EXPECT_TRUE(result.timedOut);
  EXPECT_EQ(result.Describe(), "timed out");

  pollfd end{ends[0], POLLIN, 0};
  ASSERT_EQ(::poll(&end, 1, 20000), 1) << "the command's child survived";
  char byte;
  EXPECT_EQ(::read(ends[0], &byte, 1), 0);
  ::close(ends[0]);
}

TEST(ChildProcessTest, WaitReturnsNothingWhileTheChildRunsThenItsStatus) {
  ChildProcess child;
  LaunchOptions options;
  options.input = Stream::kPipe;
  std::string error;
  ASSERT_TRUE(
      child.Start({"/bin/sh", "-c", "read line; exit 7"}, options, &error))
      << error;
  EXPECT_EQ(child.Wait(0), std::nullopt);
  child.CloseInput();
  std::optional<int> status = child.Wait(20000);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(ExitCode(*status), 7);
  EXPECT_EQ(child.pid(), -1);
}

TEST(ChildProcessTest, MissingProgramIsNotStarted) {
  ChildProcess child;
  std::string error;
  EXPECT_FALSE(child.Start({"/nonexistent/program"}, {}, &error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace ostrivel::process
