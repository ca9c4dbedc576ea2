// A stand-in for libostrivel.so in the runner's and the listener's tests. It
// exports the seven functions under the library's names, writes one line per
// call into a file and appends a result row per application on
// GetCollectedInformation, so that the programs that drive the library can
// be checked without a collection service.
//
// Its configuration file holds "key: value" lines:
//   calls: FILE          where each call is recorded ("Name(argument)")
//   res_location: FILE   the result file to append rows to
//   applications: A B    the applications each test gets a row for
//   unreachable: yes     StartNewTestCase returns false
//   crash_in: NAME       GetCollectedInformation aborts the process in the
//                        test NAME, as a harness's library might

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "formats/result_format.h"

#define FAKE_EXPORT __attribute__((visibility("default")))

namespace {

struct FakeState {
  std::string callsPath;
  std::string resultPath;
  std::vector<std::string> applications;
  bool unreachable = false;
  std::string crashIn;
  std::string testName;
  int tests = 0;
};

FakeState& Fake() {
  static FakeState state;
  return state;
}

std::string Trim(const std::string& text) {
  std::size_t begin = text.find_first_not_of(' ');
  if (begin == std::string::npos) return "";
  std::size_t end = text.find_last_not_of(' ');
  return text.substr(begin, end - begin + 1);
}

void Record(const std::string& call) {
  if (Fake().callsPath.empty()) return;
  std::ofstream calls(Fake().callsPath, std::ios::app | std::ios::binary);
  calls << call << "\n";
}

}  // namespace

namespace Functionality {

FAKE_EXPORT bool Init(const char* configPath) {
  FakeState& fake = Fake();
  fake = FakeState();
  std::ifstream config(configPath);
  std::string line;
  while (std::getline(config, line)) {
    std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string key = Trim(line.substr(0, colon));
    std::string value = Trim(line.substr(colon + 1));
    if (key == "calls") fake.callsPath = value;
    if (key == "res_location") fake.resultPath = value;
    if (key == "unreachable") fake.unreachable = value == "yes";
    if (key == "crash_in") fake.crashIn = value;
    if (key == "applications") {
      std::istringstream names(value);
      std::string name;
      while (names >> name) fake.applications.push_back(name);
    }
  }
  Record(std::string("Init(") + configPath + ")");
  return true;
}

FAKE_EXPORT bool Open() {
  Record("Open()");
  return true;
}

FAKE_EXPORT bool StartNewTestCase() {
  Record("StartNewTestCase()");
  return !Fake().unreachable;
}

FAKE_EXPORT bool SetTestName(const char* name) {
  Fake().testName = name;
  Record(std::string("SetTestName(") + name + ")");
  return true;
}

FAKE_EXPORT bool GetCurrentPath() {
  Record("GetCurrentPath()");
  return true;
}

// Appends one row per application. The numbers depend on the test's
// position so that rows can be told apart: test k (from 1) gets trace
// length 10*k, coverage 25*k and runtime k.
FAKE_EXPORT bool GetCollectedInformation() {
  FakeState& fake = Fake();
  Record("GetCollectedInformation()");
  if (!fake.crashIn.empty() && fake.testName == fake.crashIn) std::abort();
  if (fake.unreachable || fake.resultPath.empty()) return true;
  ++fake.tests;
  bool exists = std::ifstream(fake.resultPath).good();
  std::ofstream result(fake.resultPath, std::ios::app | std::ios::binary);
  if (!exists) {
    result << ostrivel::formats::kResultHeader << "\r\n";
  }
  for (const std::string& application : fake.applications) {
    result << fake.testName << ";" << application << ";" << 10 * fake.tests
           << ";" << 25 * fake.tests << ";" << fake.tests << ";0;1 2 3\r\n";
  }
  return true;
}

FAKE_EXPORT bool Close() {
  Record("Close()");
  return true;
}

}  // namespace Functionality
