// ostrivel-methods --source-dir on programs this test compiles with -g:
// sources in two directories, one header-defined inline function, file
// names relative to a compile directory reached through a symbolic link.

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testing/temp_dir.h"
#include "testing/test_process.h"

namespace ostrivel::methods {
namespace {

using ostrivel::testing::ReadFile;
using ostrivel::testing::SplitLines;
using ostrivel::testing::TempDir;
using ostrivel::testing::WriteFile;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using tools::testing::ChildProcess;
using tools::testing::ExitCode;

struct Outcome {
  int exitCode = -1;
  std::string output;
  std::string errors;
};

Outcome RunArgv(const std::vector<std::string>& argv) {
  ChildProcess child;
  Outcome run;
  if (!child.Start(argv)) return run;
  while (auto line = child.ReadLine()) run.output += *line + "\n";
  run.errors = child.ReadAllErrors();
  run.exitCode = ExitCode(child.Wait().value_or(-1));
  return run;
}

// "app/main.cc" uses "lib/count.cc" and the inline function of
// "lib/twice.h"; each directory has a static Helper() of its own.
class SourceDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir_.File("project/app"));
    std::filesystem::create_directories(dir_.File("project/lib"));
    std::filesystem::create_directories(dir_.File("project/ap"));
    std::filesystem::create_directory_symlink(dir_.File("project"),
                                              dir_.File("link"));
    WriteFile(dir_.File("project/lib/twice.h"),
              "namespace lib {\n"
              "inline int Twice(int n) { return 2 * n; }\n"
              "int Count(int n);\n"
              "}\n");
    WriteFile(dir_.File("project/lib/count.cc"),
              "#include \"lib/twice.h\"\n"
              "static int Helper(int n) { return n + 1; }\n"
              "int lib::Count(int n) { return Helper(n); }\n");
    WriteFile(dir_.File("project/app/main.cc"),
              "#include \"lib/twice.h\"\n"
              "static int Helper(int n) { return n - 1; }\n"
              "int main(int argc, char**) {\n"
              "  return lib::Twice(argc) + lib::Count(argc) + Helper(argc);\n"
              "}\n");
  }

  // Compiles the project in its directory, entered through the link, so
  // that the debug information holds relative names and a compile
  // directory that is not canonical. Returns the program's path.
  std::string Build(const std::string& compiler, const std::string& flags) {
    std::string program = dir_.File("program");
    Outcome run = RunArgv(
        {"/bin/sh", "-c",
         "cd '" + dir_.File("link") + "' && " + compiler + " -O0 " + flags +
             " -I. app/main.cc lib/count.cc -o '" + program + "'"});
    EXPECT_EQ(run.exitCode, 0) << run.output << run.errors;
    return program;
  }

  // Runs ostrivel-methods on "program" with "options"; "*names" gets the
  // "Method;Package" part of each line, sorted.
  Outcome List(const std::string& program, std::vector<std::string> options,
               std::vector<std::string>* names) {
    std::vector<std::string> argv{OSTRIVEL_METHODS_PATH, "--binary", program,
                                  "--application",       "P",        "--output",
                                  dir_.File("p.csv")};
    argv.insert(argv.end(), options.begin(), options.end());
    Outcome run = RunArgv(argv);
    names->clear();
    if (run.exitCode != 0) return run;
    std::vector<std::string> lines = SplitLines(ReadFile(dir_.File("p.csv")));
    for (std::size_t i = 1; i < lines.size(); ++i) {
      names->push_back(lines[i].substr(lines[i].find(';') + 1));
    }
    std::sort(names->begin(), names->end());
    return run;
  }

  TempDir dir_;
};

struct Case {
  const char* name;
  std::vector<std::string> dirs;  // relative to the test's directory
  std::vector<std::string> expected;
};

const std::vector<Case>& Cases() {
  static const std::vector<Case> cases = {
      {"app", {"project/app"}, {"Helper(int);", "main;"}},
      {"lib",
       {"project/lib"},
       {"Count(int);lib", "Helper(int);", "Twice(int);lib"}},
      {"both",
       {"project/app", "project/lib"},
       {"Count(int);lib", "Helper(int);", "Helper(int);", "Twice(int);lib",
        "main;"}},
      // Through the link and with dot-dot: compared canonical.
      {"link", {"link/lib/../app"}, {"Helper(int);", "main;"}},
      {"project",
       {"project"},
       {"Count(int);lib", "Helper(int);", "Helper(int);", "Twice(int);lib",
        "main;"}},
      // Whole components: "project/app" is not under "project/ap".
      {"prefix", {"project/ap"}, {}},
  };
  return cases;
}

TEST_F(SourceDirTest, KeepsTheFunctionsDefinedUnderTheDirectories) {
  for (const auto& [compiler, flags] :
       std::vector<std::pair<std::string, std::string>>{
           {OSTRIVEL_GXX_PATH, "-g"}, {OSTRIVEL_GXX_PATH, "-gdwarf-4"}}) {
    std::string program = Build(compiler, flags);
    for (const Case& c : Cases()) {
      std::vector<std::string> options;
      for (const std::string& dir : c.dirs) {
        options.push_back("--source-dir");
        // Relative to the working directory, as a user types it.
        options.push_back(
            std::filesystem::path(dir_.File(dir))
                .lexically_relative(std::filesystem::current_path())
                .string());
      }
      std::vector<std::string> names;
      Outcome run = List(program, options, &names);
      ASSERT_EQ(run.exitCode, 0) << c.name << ": " << run.errors;
      EXPECT_THAT(names, ElementsAreArray(c.expected)) << c.name << flags;
    }
  }
}

TEST_F(SourceDirTest, ClangRouteMatchesProfileRecordsByName) {
  if (std::string(OSTRIVEL_CLANGXX_PATH).empty()) {
    GTEST_SKIP() << "clang++ is not installed";
  }
  std::string program =
      Build(OSTRIVEL_CLANGXX_PATH, "-g -fprofile-instr-generate");
  std::vector<std::string> names;
  Outcome run =
      List(program, {"--source-dir", dir_.File("project/app")}, &names);
  ASSERT_EQ(run.exitCode, 0) << run.errors;
  // The static Helper of app/, told from lib/'s by the record's file.
  EXPECT_THAT(names, ElementsAreArray({"Helper(int);", "main;"}));
  run = List(program, {"--source-dir", dir_.File("link/lib")}, &names);
  ASSERT_EQ(run.exitCode, 0) << run.errors;
  EXPECT_THAT(names, ElementsAreArray(
                         {"Count(int);lib", "Helper(int);", "Twice(int);lib"}));
}

TEST_F(SourceDirTest, ClangRouteRefusesANameDefinedInTwoPlaces) {
  if (std::string(OSTRIVEL_CLANGXX_PATH).empty()) {
    GTEST_SKIP() << "clang++ is not installed";
  }
  // One inline function, defined differently in each directory: the
  // records hold its name once, and no file.
  WriteFile(dir_.File("project/app/same.h"),
            "inline int Same() { return 1; }\n");
  WriteFile(dir_.File("project/lib/same.h"),
            "inline int Same() { return 2; }\n");
  WriteFile(
      dir_.File("project/app/main.cc"),
      "#include \"app/same.h\"\n"
      "#include \"lib/twice.h\"\n"
      "int main(int argc, char**) { return Same() + lib::Count(argc); }\n");
  WriteFile(dir_.File("project/lib/count.cc"),
            "#include \"lib/same.h\"\n"
            "#include \"lib/twice.h\"\n"
            "int lib::Count(int n) { return Same() + n; }\n");
  std::string program =
      Build(OSTRIVEL_CLANGXX_PATH, "-g -fprofile-instr-generate");
  std::vector<std::string> names;
  Outcome run =
      List(program, {"--source-dir", dir_.File("project/app")}, &names);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_THAT(run.errors,
              HasSubstr("cannot tell whether \"_Z4Samev\" is defined under "
                        "--source-dir: its debug information defines it in "));
}

TEST_F(SourceDirTest, RefusesWhatItCannotFilter) {
  std::string program = Build(OSTRIVEL_GXX_PATH, "");
  std::vector<std::string> names;
  Outcome run = List(program, {"--source-dir", dir_.File("project")}, &names);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.errors, "ostrivel-methods: \"" + program +
                            "\" has no debug information: build with -g to "
                            "use --source-dir\n");
  // Without --source-dir the same program is listed as before.
  EXPECT_EQ(List(program, {}, &names).exitCode, 0);

  run = List(program, {"--source-dir", dir_.File("none")}, &names);
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_EQ(run.errors, "ostrivel-methods: --source-dir: \"" +
                            dir_.File("none") + "\" is no directory\n");
}

}  // namespace
}  // namespace ostrivel::methods
