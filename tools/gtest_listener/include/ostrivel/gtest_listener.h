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
// without coverage; when the collection service cannot be reached, one line
// names it and the configuration file (the library logs each attempt).
//
// With OSTRIVEL_REQUIRE_COVERAGE=1 in the environment, a test that got no
// row in the result file fails, and so does the program when every row of
// the run says 0 %: a misconfigured run then cannot pass as covered.
//
// Test programs that run side by side (ctest -j, GoogleTest shards) each
// need a slot of their own on a service started with --slots N
// --ports-file FILE. With OSTRIVEL_SLOTS=FILE in the environment the
// listener restarts the program under ostrivel-slot, which waits for a
// free slot and runs the program on it with OSTRIVEL_SLOT set; a program
// that is only listing its tests is left alone.

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

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

namespace listener_internal {

// The value of "key" in the configuration file at "path", read like the
// library reads it (key and value trimmed of spaces, the last occurrence
// wins), or "fallback".
inline std::string ConfigValue(const std::string& path, const std::string& key,
                               std::string fallback) {
  std::ifstream file(path, std::ios::binary);
  auto trim = [](std::string text) {
    std::size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
  };
  std::string line;
  while (std::getline(file, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    if (trim(line.substr(0, colon)) == key) {
      fallback = trim(line.substr(colon + 1));
    }
  }
  return fallback;
}

// The size of the file at "path", 0 when it cannot be read.
inline std::streamoff FileSize(const std::string& path) {
  std::ifstream file(path, std::ios::binary | std::ios::ate);
  return file ? static_cast<std::streamoff>(file.tellg()) : 0;
}

// The coverage fields (the fourth) of the rows of "test" in the result
// file at "path" from byte "offset" on.
inline std::vector<std::string> CoverageOfRows(const std::string& path,
                                               std::streamoff offset,
                                               const std::string& test) {
  std::vector<std::string> coverage;
  std::ifstream file(path, std::ios::binary);
  if (!file.seekg(offset)) return coverage;
  std::string line;
  while (std::getline(file, line)) {
    std::vector<std::string> fields;
    std::istringstream row(line);
    std::string field;
    while (std::getline(row, field, ';')) fields.push_back(field);
    if (fields.size() >= 4 && fields[0] == test) coverage.push_back(fields[3]);
  }
  return coverage;
}

// The value of the environment variable "name", "" when it is not set.
inline std::string EnvironmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// Whether this process should move onto a slot: OSTRIVEL_SLOTS names the
// ports file, the process does not run on a slot yet, and it runs tests
// (ctest's discovery of the tests only lists them).
inline bool WantsSlot() {
  if (EnvironmentValue("OSTRIVEL_SLOTS").empty() ||
      !EnvironmentValue("OSTRIVEL_SLOT").empty()) {
    return false;
  }
#ifdef GTEST_FLAG_GET
  return !GTEST_FLAG_GET(list_tests);
#else
  return !::testing::GTEST_FLAG(list_tests);
#endif
}

inline bool IsExecutable(const std::string& path) {
  return !path.empty() && ::access(path.c_str(), X_OK) == 0;
}

// ostrivel-slot beside the library's file, in ../bin of its folder, or on
// PATH; "" when none is there. "folder" is set to the library's folder.
inline std::string FindSlotLauncher(const std::string& libraryFile,
                                    std::string* folder) {
  const std::string name = "ostrivel-slot";
  std::size_t slash = libraryFile.rfind('/');
  *folder = slash == std::string::npos ? "." : libraryFile.substr(0, slash);
  if (slash != std::string::npos) {
    for (const std::string& candidate :
         {*folder + "/" + name, *folder + "/../bin/" + name}) {
      if (IsExecutable(candidate)) return candidate;
    }
  }
  std::istringstream path(EnvironmentValue("PATH"));
  std::string directory;
  while (std::getline(path, directory, ':')) {
    if (directory.empty()) continue;
    std::string candidate = directory + "/" + name;
    if (IsExecutable(candidate)) return candidate;
  }
  return "";
}

// This program's file and the arguments it was started with, before
// InitGoogleTest took its flags out of argv.
inline bool OwnCommandLine(std::vector<std::string>* arguments) {
  std::ifstream file("/proc/self/cmdline", std::ios::binary);
  std::string argument;
  while (std::getline(file, argument, '\0')) arguments->push_back(argument);
  char program[4096];
  ssize_t length = ::readlink("/proc/self/exe", program, sizeof program - 1);
  if (arguments->empty() || length <= 0) return false;
  (*arguments)[0].assign(program, static_cast<std::size_t>(length));
  return true;
}

// Replaces this process with "ostrivel-slot -- <this program> <its
// arguments>", which runs it again on a free slot with "config" as the
// configuration to copy. Returns only when that cannot be done, after one
// line on standard error: the tests then run without coverage, since
// counting outside a slot would mix with the tests of other processes.
inline void RestartOnSlot(const std::string& config,
                          const std::string& libraryFile) {
  std::string folder;
  std::string launcher = FindSlotLauncher(libraryFile, &folder);
  if (launcher.empty()) {
    std::cerr << "ostrivel: OSTRIVEL_SLOTS is set, but ostrivel-slot is not in "
              << folder << ", in " << folder
              << "/../bin or on PATH; tests run without coverage, so as not "
                 "to count into the slot of another test program\n";
    return;
  }
  std::vector<std::string> arguments;
  if (!OwnCommandLine(&arguments)) {
    std::cerr << "ostrivel: OSTRIVEL_SLOTS is set, but this program cannot "
                 "read its own command line from /proc/self; tests run "
                 "without coverage\n";
    return;
  }
  arguments.insert(arguments.begin(), {launcher, "--"});
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  ::setenv("OSTRIVEL_CONFIG", config.c_str(), 1);
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  ::execv(launcher.c_str(), argv.data());
  std::cerr << "ostrivel: cannot start " << launcher
            << " for OSTRIVEL_SLOTS: " << std::strerror(errno)
            << "; tests run without coverage\n";
}

}  // namespace listener_internal

// Calls the library around every test. Owns the loaded library.
class CoverageListener : public ::testing::EmptyTestEventListener {
 public:
  // "library" may be null when it could not be loaded: then no test gets a
  // row, which only matters with "requireCoverage".
  CoverageListener(std::unique_ptr<HarnessLibrary> library,
                   std::string configPath, bool requireCoverage = false)
      : library_(std::move(library)),
        configPath_(std::move(configPath)),
        requireCoverage_(requireCoverage) {}

  void OnTestProgramStart(const ::testing::UnitTest&) override {
    if (library_ == nullptr) return;
    library_->Init(configPath_.c_str());
    library_->Open();
    // The library's own defaults, for a configuration without the keys.
    resultPath_ = listener_internal::ConfigValue(configPath_, "res_location",
                                                 "C:/Coverage/result.csv");
    service_ =
        listener_internal::ConfigValue(configPath_, "host_name", "localhost") +
        ":" + listener_internal::ConfigValue(configPath_, "port", "8182");
  }

  void OnTestStart(const ::testing::TestInfo& info) override {
    if (library_ == nullptr) return;
    std::string name = CoverageTestName(info);
    library_->SetTestName(name.c_str());
    if (requireCoverage_)
      resultOffset_ = listener_internal::FileSize(resultPath_);
    // The library logs every failed attempt; the person running the tests
    // needs to hear it once, here, with what to check.
    if (!library_->StartNewTestCase() && !toldUnreachable_) {
      toldUnreachable_ = true;
      std::cerr << "ostrivel: cannot reach the collection service at "
                << service_ << " (host_name and port of " << configPath_
                << "): tests run without coverage until it answers\n";
    }
  }

  // Runs before GoogleTest's own printer sees the end of the test (the
  // listeners hear of ends in reverse order), so a failure added here is
  // the test's own.
  void OnTestEnd(const ::testing::TestInfo& info) override {
    if (library_ != nullptr) library_->GetCollectedInformation();
    if (!requireCoverage_) return;
    std::string name = CoverageTestName(info);
    std::vector<std::string> coverage =
        library_ == nullptr ? std::vector<std::string>()
                            : listener_internal::CoverageOfRows(
                                  resultPath_, resultOffset_, name);
    if (coverage.empty()) {
      ++testsWithoutRow_;
      ADD_FAILURE() << "no coverage row for " << name
                    << " in the result file (OSTRIVEL_REQUIRE_COVERAGE=1)";
    }
    for (const std::string& percent : coverage) {
      ++rows_;
      if (std::strtod(percent.c_str(), nullptr) > 0) coveredRows_ = true;
    }
  }

  // Runs before GoogleTest decides the program's exit code, so a failure
  // added here makes it non-zero.
  void OnTestIterationEnd(const ::testing::UnitTest&, int) override {
    if (!requireCoverage_) return;
    if (testsWithoutRow_ > 0) {
      std::cerr << "ostrivel: OSTRIVEL_REQUIRE_COVERAGE=1: " << testsWithoutRow_
                << " tests got no coverage row; the test program fails\n";
    } else if (rows_ > 0 && !coveredRows_) {
      std::cerr << "ostrivel: OSTRIVEL_REQUIRE_COVERAGE=1: every row of the "
                   "run says 0 % coverage; the test program fails\n";
      ADD_FAILURE() << "every row of the run says 0 % coverage "
                       "(OSTRIVEL_REQUIRE_COVERAGE=1)";
    }
  }

  void OnTestProgramEnd(const ::testing::UnitTest&) override {
    if (library_ != nullptr) library_->Close();
  }

 private:
  std::unique_ptr<HarnessLibrary> library_;
  std::string configPath_;
  bool requireCoverage_;
  std::string resultPath_;
  std::string service_;  // "host:port"
  bool toldUnreachable_ = false;
  std::streamoff resultOffset_ = 0;
  int testsWithoutRow_ = 0;
  int rows_ = 0;
  bool coveredRows_ = false;
};

// Whether OSTRIVEL_REQUIRE_COVERAGE is "1".
inline bool CoverageRequired() {
  const char* value = std::getenv("OSTRIVEL_REQUIRE_COVERAGE");
  return value != nullptr && std::string(value) == "1";
}

// Installs a CoverageListener into GoogleTest's listeners. "configPath" is
// the library's configuration file (null: the environment variable
// OSTRIVEL_CONFIG); "libraryPath" the library to load (null: the variable
// OSTRIVEL_LIBRARY, else "libostrivel.so" from the linker's search path).
// Returns false, after one warning line on standard error, when there is no
// configuration file or the library cannot be loaded; the tests then run
// without coverage, and each fails when OSTRIVEL_REQUIRE_COVERAGE=1. Call
// it once, before RUN_ALL_TESTS(), after InitGoogleTest.
//
// With OSTRIVEL_SLOTS set it does not return when all goes well: the
// process is replaced by ostrivel-slot running it again on a slot (see the
// top of this file), found beside the loaded library, in ../bin of its
// folder or on PATH. On a slot (OSTRIVEL_SLOT set) the configuration is
// the slot's copy that OSTRIVEL_CONFIG names, even when "configPath" is
// given.
inline bool InstallCoverageListener(const char* configPath = nullptr,
                                    const char* libraryPath = nullptr) {
  auto fromEnvironment = [](const char* given, const char* variable,
                            const char* fallback) -> std::string {
    if (given != nullptr) return given;
    const char* value = std::getenv(variable);
    if (value != nullptr && *value != '\0') return value;
    return fallback;
  };
  const bool onSlot =
      !listener_internal::EnvironmentValue("OSTRIVEL_SLOT").empty();
  std::string config =
      fromEnvironment(onSlot ? nullptr : configPath, "OSTRIVEL_CONFIG", "");
  std::string path =
      fromEnvironment(libraryPath, "OSTRIVEL_LIBRARY", "libostrivel.so");
  const bool required = CoverageRequired();
  std::unique_ptr<HarnessLibrary> library;
  if (config.empty()) {
    std::cerr << "ostrivel: no configuration file given (set OSTRIVEL_CONFIG);"
                 " tests run without coverage\n";
  } else {
    std::string error;
    library = HarnessLibrary::Load(path, &error);
    if (library == nullptr) {
      std::cerr << "ostrivel: " << error << "; tests run without coverage\n";
    } else if (listener_internal::WantsSlot()) {
      std::string file = library->LoadedFile();
      listener_internal::RestartOnSlot(config, file.empty() ? path : file);
      library.reset();
    }
  }
  if (library == nullptr && !required) return false;
  bool loaded = library != nullptr;
  ::testing::UnitTest::GetInstance()->listeners().Append(
      new CoverageListener(std::move(library), std::move(config), required));
  return loaded;
}

}  // namespace ostrivel

#endif  // OSTRIVEL_GTEST_LISTENER_H_
