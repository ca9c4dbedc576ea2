#include "coverage/evaluate.h"

#include <filesystem>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "coverage/result_file.h"
#include "coverage/timestamp.h"
#include "testing/fake_platform.h"
#include "testing/log_capture.h"
#include "testing/temp_dir.h"

namespace ostrivel::coverage {
namespace {

using ::ostrivel::testing::CapturedOutput;
using ::ostrivel::testing::FileExists;
using ::ostrivel::testing::ReadFile;
using ::ostrivel::testing::TestEnvironment;
using ::ostrivel::testing::WriteFile;
using Lines = std::vector<std::string>;

const std::string kResultHeader =
    "Test name;Application name;Trace length;Coverage%;Runtime (ms);"
    "Covered Methods' IDs;Not Covered Methods' IDs\r\n";
const std::string kTraceHeader = "ID; Method; Package; Number of calls\r\n";
constexpr const char* kStart = "2014.05.06 12:34:55.289";
constexpr const char* kEnd = "2014.05.06 12:34:56.789";  // 1500 ms later

class EvaluateTest : public ::testing::Test {
 protected:
  EvaluateTest() {
    state_.testName = "Login";
    lists_ = {{"Shop", {"e0", "e1", "e2", "e3"}},
              {"Alpha", {"a0", "a1", "a2"}},
              {"Zeta", {"z0", "z1", "z2"}},
              {"Empty", {}}};
  }
  void Evaluate(std::string_view body) {
    EvaluateAnswer(body, env_.settings(), state_, lists_);
  }
  void Start() { Evaluate(std::string("{\"timestamp\":\"") + kStart + "\"}"); }
  void Ask(const std::string& data) {
    Evaluate(std::string("{\"timestamp\":\"") + kEnd + "\",\"data\":{" + data +
             "}}");
  }
  std::string Result() const { return ReadFile(env_.resultPath()); }
  std::string Trace(const std::string& name) const {
    return ReadFile(env_.dir().File(name + "_trace.csv"));
  }

  TestEnvironment env_{0};
  EvaluationState state_;
  MethodLists lists_;
};

TEST_F(EvaluateTest, WorkedExample) {
  Start();
  Ask(R"("Shop":[3,0,1,0])");
  EXPECT_EQ(Result(), kResultHeader + "Login;Shop;4;50;1500;0 2;1 3\r\n");
  EXPECT_EQ(Trace("Login_Shop"), kTraceHeader + "e0;3\r\ne2;1\r\n");
  EXPECT_EQ(state_.trace_location, env_.dir().File("Login_Shop_trace.csv"));
  const std::string summary =
      "DEBUG|Trace length: 4, Coverage %: 50%, Runtime: 1500 milisec";
  EXPECT_EQ(env_.LogLines(),
            (Lines{"SIMPLE|Evaluating.", "SIMPLE|Evaluating.",
                   "DEBUG|Test name: Login", "DEBUG|Application name: Shop",
                   summary, "DEBUG|TracePath method."}));
}

TEST_F(EvaluateTest, AnswerWithoutDataOnlyMovesTheStart) {
  Ask("");  // an empty "data" object sets the end and writes nothing
  Start();
  EXPECT_EQ(state_.testStartTime, TimestampToMilliseconds(kStart));
  EXPECT_EQ(state_.testEndTime, TimestampToMilliseconds(kEnd));
  EXPECT_EQ(env_.LogLines(), Lines(2, "SIMPLE|Evaluating."));
  EXPECT_EQ(
      std::distance(std::filesystem::directory_iterator(env_.dir().path()),
                    std::filesystem::directory_iterator()),
      2);  // the log and the methods directory
}

TEST_F(EvaluateTest, DefaultThresholdLogsOnlyEvaluating) {
  env_.settings().log_level = 1;
  Ask(R"("Shop":[1,1,1,1])");
  EXPECT_EQ(env_.LogLines(), Lines{"SIMPLE|Evaluating."});
}

TEST_F(EvaluateTest, ApplicationsComeInNameOrderWithOneRuntime) {
  Start();
  Ask(R"("Zeta":[1,2,3],"Empty":[],"Alpha":[0,0,0])");
  EXPECT_EQ(Result(), kResultHeader + "Login;Alpha;0;0;1500;;0 1 2\r\n" +
                          "Login;Empty;0;nan;1500;;\r\n" +
                          "Login;Zeta;6;100;1500;0 1 2;\r\n");
  EXPECT_EQ(Trace("Login_Alpha"), kTraceHeader);
  EXPECT_EQ(Trace("Login_Empty"), kTraceHeader);
  EXPECT_EQ(Trace("Login_Zeta"), kTraceHeader + "z0;1\r\nz1;2\r\nz2;3\r\n");
  EXPECT_EQ(env_.LogMessages()[8],
            "Trace length: 0, Coverage %: nan%, Runtime: 1500 milisec");
}

TEST_F(EvaluateTest, LargeNumbersAreExactOnlyInTheLog) {
  // No start time seen: the runtime is the end time itself.
  Ask(R"("Shop":[1234567,0,0,0],"Zeta":[2147483647,2147483647,2])");
  const std::int64_t end = TimestampToMilliseconds(kEnd);
  const std::string runtime = formats::FormatNumber(static_cast<double>(end));
  EXPECT_NE(runtime.find("e+12"), std::string::npos) << runtime;
  EXPECT_EQ(Result(), kResultHeader + "Login;Shop;1.23457e+06;25;" + runtime +
                          ";0;1 2 3\r\nLogin;Zeta;4.29497e+09;100;" + runtime +
                          ";0 1 2;\r\n");
  Lines messages = env_.LogMessages();
  EXPECT_EQ(messages[3], "Trace length: 1234567, Coverage %: 25%, Runtime: " +
                             std::to_string(end) + " milisec");
  EXPECT_EQ(messages[7].substr(0, 26), "Trace length: 4294967296, ");
}

TEST_F(EvaluateTest, NamesAreWrittenAsTheyAre) {
  state_.testName.clear();
  lists_["a;b"] = {"m"};
  Start();
  Ask(R"("a;b":[7])");
  EXPECT_EQ(Result(), kResultHeader + ";a;b;7;100;1500;0;\r\n");
  EXPECT_EQ(Trace("_a;b"), kTraceHeader + "m;7\r\n");
}

TEST_F(EvaluateTest, HeaderIsWrittenOnlyIntoAMissingFile) {
  WriteFile(env_.resultPath(), "old\r\n");
  Start();
  Ask(R"("Shop":[0,0,0,1])");
  EXPECT_EQ(Result(), "old\r\nLogin;Shop;1;25;1500;3;0 1 2\r\n");
  // Deleted between two tests, after the flag was cleared.
  std::filesystem::remove(env_.resultPath());
  state_.resultFileExists = false;
  Ask(R"("Shop":[0,0,0,1])");
  EXPECT_EQ(Result(), kResultHeader + "Login;Shop;1;25;1500;3;0 1 2\r\n");
}

TEST_F(EvaluateTest, UnopenableResultFileIsReportedOncePerRow) {
  CapturedOutput output;
  env_.settings().res_location = env_.dir().File("missing/result.csv");
  Start();
  Ask(R"("Shop":[1,0,0,0],"Zeta":[0,0,1])");
  EXPECT_EQ(output.errors(),
            "Unable to open result-file!\nUnable to open result-file!\n");
  const std::string summary = "DEBUG|Trace length: 1, Coverage %: ";
  EXPECT_EQ(
      env_.LogLines(),
      (Lines{"SIMPLE|Evaluating.", "SIMPLE|Evaluating.",
             "DEBUG|Test name: Login", "DEBUG|Application name: Shop",
             "ERROR|Unable to open result-file!",
             summary + "25%, Runtime: 1500 milisec", "DEBUG|TracePath method.",
             "DEBUG|Test name: Login", "DEBUG|Application name: Zeta",
             "ERROR|Unable to open result-file!",
             summary + "33.3333%, Runtime: 1500 milisec",
             "DEBUG|TracePath method."}));
  EXPECT_FALSE(FileExists(env_.dir().File("missing")));
  EXPECT_EQ(Trace("Login_Shop"), kTraceHeader + "e0;1\r\n");
}

TEST_F(EvaluateTest, RefusedAnswerChangesNothing) {
  const std::string earlier = env_.dir().File("Login_Shop_trace.csv");
  for (std::string body :
       {"{\"data\":{\"Shop\":[1,0,0,0]}}",
        "{\"timestamp\":\"t\",\"data\":{\"Shop\":[1,0,0,0],\"A\":[1.5]}}",
        "{\"timestamp\":\"t\",\"data\":{\"Shop\":[1,0,0,\"3\"]}}",
        "{\"timestamp\":\"t\",\"data\":{\"Shop\":[1,0,0,0]}} trailing",
        "{\"timestamp\":\"t\"", "{\"timestamp\":\"t\",\"data\":[]}"}) {
    TestEnvironment env(0);
    EvaluationState state;
    state.testStartTime = 1;
    state.testEndTime = 2;
    WriteFile(earlier, "earlier");
    EvaluateAnswer(body, env.settings(), state, lists_);
    EXPECT_EQ(env.LogLines(),
              (Lines{"SIMPLE|Evaluating.", "ERROR|Error in message: " + body}));
    EXPECT_EQ(state.testStartTime, 1);
    EXPECT_EQ(state.testEndTime, 2);
    EXPECT_FALSE(FileExists(env.resultPath()));
    EXPECT_EQ(ReadFile(earlier), "earlier");
  }
}

TEST(RuntimeTest, SaturatesInsteadOfOverflowing) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  EXPECT_EQ(Runtime(1000, 2500), 1500);
  EXPECT_EQ(Runtime(0, -5), -5);
  EXPECT_EQ(Runtime(-1, kMax), kMax);
  EXPECT_EQ(Runtime(1, kMin), kMin);
  EXPECT_EQ(Runtime(kMin, kMax), kMax);
  EXPECT_EQ(Runtime(kMax, kMin), kMin);
}

}  // namespace
}  // namespace ostrivel::coverage
