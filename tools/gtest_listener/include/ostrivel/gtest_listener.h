#ifndef OSTRIVEL_GTEST_LISTENER_H_
#define OSTRIVEL_GTEST_LISTENER_H_

// Per-test coverage for any GoogleTest program: one line in its main.
//
//   int main(int argc, char** argv) {
//     ::testing::InitGoogleTest(&argc, argv);
//     ostrivel::InstallCoverageListener();  // or (configPath, libraryPath)
//     return RUN_ALL_TESTS();
//   }
//
// The listener loads libostrivel.so with dlopen and calls Init and Open when
// the tests start, SetTestName("Suite.Test") and StartNewTestCase before
// every test, GetCollectedInformation after it, and Close at the end. When
// the library cannot be loaded it writes one warning line and the tests run
// without coverage.

#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "ostrivel/harness_library.h"

namespace ostrivel {

// The test name the listener reports for "info": "Suite.Test". The names of
// parameterised and typed tests carry "/" (as in "Inst/Suite.Test/0"); the
// library puts the test name into the name of a trace file, so "/" and "\"
// become "_" there, and ";", the result file's separator, becomes "_" too.
inline std::string CoverageTestName(const ::testing::TestInfo& info) {
  std::string name = std::string(info.test_suite_name()) + "." + info.name();
  for (char& c : name) {
    if (c == '/' || c == '\\' || c == ';') c = '_';
  }
  return name;
}

// Calls the library around every test. Owns the loaded library.
class CoverageListener : public ::testing::EmptyTestEventListener {
 public:
  // "library" must not be null.
  CoverageListener(std::unique_ptr<HarnessLibrary> library,
                   std::string configPath)
      : library_(std::move(library)), configPath_(std::move(configPath)) {}

  void OnTestProgramStart(const ::testing::UnitTest&) override {
    library_->Init(configPath_.c_str());
    library_->Open();
  }

  void OnTestStart(const ::testing::TestInfo& info) override {
    std::string name = CoverageTestName(info);
    library_->SetTestName(name.c_str());
    // The library reports an unreachable service itself; the test runs
    // anyway.
    library_->StartNewTestCase();
  }

  void OnTestEnd(const ::testing::TestInfo&) override {
    library_->GetCollectedInformation();
  }

  void OnTestProgramEnd(const ::testing::UnitTest&) override {
    library_->Close();
  }

 private:
  std::unique_ptr<HarnessLibrary> library_;
  std::string configPath_;
};

// Installs a CoverageListener into GoogleTest's listeners. "configPath" is
// the library's configuration file (null: the environment variable
// OSTRIVEL_CONFIG); "libraryPath" the library to load (null: the variable
// OSTRIVEL_LIBRARY, else "libostrivel.so" from the linker's search path).
// Returns false, after one warning line on standard error, when there is no
// configuration file or the library cannot be loaded; the tests then run
// without coverage. Call it once, before RUN_ALL_TESTS().
inline bool InstallCoverageListener(const char* configPath = nullptr,
                                    const char* libraryPath = nullptr) {
  auto fromEnvironment = [](const char* given, const char* variable,
                            const char* fallback) -> std::string {
    if (given != nullptr) return given;
    const char* value = std::getenv(variable);
    if (value != nullptr && *value != '\0') return value;
    return fallback;
  };
  std::string config = fromEnvironment(configPath, "OSTRIVEL_CONFIG", "");
  std::string path =
      fromEnvironment(libraryPath, "OSTRIVEL_LIBRARY", "libostrivel.so");
  if (config.empty()) {
    std::cerr << "ostrivel: no configuration file given (set OSTRIVEL_CONFIG);"
                 " tests run without coverage\n";
    return false;
  }
  std::string error;
  std::unique_ptr<HarnessLibrary> library = HarnessLibrary::Load(path, &error);
  if (library == nullptr) {
    std::cerr << "ostrivel: " << error << "; tests run without coverage\n";
    return false;
  }
  ::testing::UnitTest::GetInstance()->listeners().Append(
      new CoverageListener(std::move(library), std::move(config)));
  return true;
}

}  // namespace ostrivel

#endif  // OSTRIVEL_GTEST_LISTENER_H_
