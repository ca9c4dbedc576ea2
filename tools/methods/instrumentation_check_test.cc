// ostrivel-methods on programs this test builds with the C compiler, each
// in one of the ways a program is commonly built right or wrong for the
// probe: what it says about the entry hook, and when it warns.

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testing/temp_dir.h"
#include "tools/process/child_process.h"

namespace ostrivel::methods {
namespace {

using process::CommandOptions;
using process::CommandResult;
using process::RunCommand;
using ::testing::HasSubstr;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

constexpr const char* kProgram = R"(
#define KEEP __attribute__((noinline))
volatile int sink;
KEEP int Alpha(int x) { return x + 1; }
KEEP int Beta(int x) { return x * 3; }
int Gamma(int x);
int main(int argc, char** argv) {
  (void)argv;
  sink = Alpha(argc) + Beta(argc) + Gamma(argc);
  return 0;
}
)";

constexpr const char* kOther = R"(
__attribute__((noinline)) int Gamma(int x) { return x - 2; }
)";

// Hooks of the program's own, as a program that counts by itself has.
constexpr const char* kOwnHooks = R"(
#define NO_HOOK __attribute__((no_instrument_function))
NO_HOOK void __cyg_profile_func_enter(void* f, void* s) { (void)f; (void)s; }
NO_HOOK void __cyg_profile_func_exit(void* f, void* s) { (void)f; (void)s; }
)";

const std::string kProbe =
    std::string("-L") + OSTRIVEL_PROBE_DIRECTORY + " -lostrivel-probe";

struct BuildCase {
  const char* name;
  std::string programFlags;  // for the file with main, Alpha and Beta
  std::string otherFlags;    // for the file with Gamma
  // The link command after the compiler, "OBJECTS" standing for the
  // object files.
  std::string link;
  std::string countLine;  // what ostrivel-methods says on standard output
  std::string warning;    // its warning on standard error, or ""
};

void PrintTo(const BuildCase& build, std::ostream* out) { *out << build.name; }

const std::string kAllCall =
    "ostrivel-methods: 4 of 4 listed functions call the entry hook\n";
const std::string kNotLinked =
    " is not linked with libostrivel-probe.so, so its hooks are the C "
    "library's empty ones and every count stays 0: link "
    "libostrivel-probe.so after your objects; with CMake use "
    "ostrivel_instrument(target)";

const BuildCase kBuilds[] = {
    {"ProbeAtO0Pie", "-O0 -finstrument-functions", "-O0 -finstrument-functions",
     "OBJECTS " + kProbe, kAllCall, ""},
    {"ProbeAtO2Pie", "-O2 -finstrument-functions", "-O2 -finstrument-functions",
     "OBJECTS " + kProbe, kAllCall, ""},
    {"ProbeAtO0NoPie", "-O0 -fno-pie -finstrument-functions",
     "-O0 -fno-pie -finstrument-functions", "-no-pie OBJECTS " + kProbe,
     kAllCall, ""},
    {"ProbeAtO2NoPie", "-O2 -fno-pie -finstrument-functions",
     "-O2 -fno-pie -finstrument-functions", "-no-pie OBJECTS " + kProbe,
     kAllCall, ""},
    // Calls through the GOT slot instead of a PLT entry.
    {"ProbeAtO2NoPlt", "-O2 -fno-plt -finstrument-functions",
     "-O2 -fno-plt -finstrument-functions", "OBJECTS " + kProbe, kAllCall, ""},
    {"ProbeAtO0NoPieNoPlt", "-O0 -fno-pie -fno-plt -finstrument-functions",
     "-O0 -fno-pie -fno-plt -finstrument-functions",
     "-no-pie OBJECTS " + kProbe, kAllCall, ""},
    {"OwnHooks", "-O2 -finstrument-functions", "-O2 -finstrument-functions",
     "OBJECTS hooks.o", kAllCall, ""},
    {"PartlyInstrumented", "-O2 -finstrument-functions", "-O2",
     "OBJECTS " + kProbe,
     "ostrivel-methods: 3 of 4 listed functions call the entry hook; the "
     "others are never counted (--instrumented-only leaves them out)\n",
     ""},
    {"ProbeNotLinked", "-O2 -finstrument-functions",
     "-O2 -finstrument-functions", "OBJECTS", kAllCall, kNotLinked},
    // The probe before the objects: nothing needs it yet when the linker
    // meets it, so --as-needed drops it.
    {"ProbeDroppedByAsNeeded", "-O2 -finstrument-functions",
     "-O2 -finstrument-functions", "-Wl,--as-needed " + kProbe + " OBJECTS",
     kAllCall, kNotLinked},
    {"ProbeAfterTheCLibrary", "-O2 -finstrument-functions",
     "-O2 -finstrument-functions", "OBJECTS -Wl,--no-as-needed -lc " + kProbe,
     kAllCall,
     " loads libc.so.6 before libostrivel-probe.so, so the C library's empty "
     "hooks are called instead of the probe's and every count stays 0: link "
     "libostrivel-probe.so after your objects; with CMake use "
     "ostrivel_instrument(target)"},
    {"NotInstrumented", "-O2", "-O2", "OBJECTS " + kProbe,
     "ostrivel-methods: 0 of 4 listed functions call the entry hook\n",
     " has no instrumented function (nothing calls __cyg_profile_func_enter), "
     "so every count stays 0: build with -finstrument-functions"},
};

CommandResult Run(const std::string& command) {
  CommandOptions options;
  options.timeoutMs = 60000;
  return RunCommand(command, options);
}

// Builds the program of "build" in "dir" and returns its path.
std::string Build(const TempDir& dir, const BuildCase& build) {
  WriteFile(dir.File("program.c"), kProgram);
  WriteFile(dir.File("other.c"), kOther);
  WriteFile(dir.File("hooks.c"), kOwnHooks);
  std::string compiler = OSTRIVEL_C_COMPILER;
  std::string objects = "program.o other.o";
  std::string link = build.link;
  link.replace(link.find("OBJECTS"), 7, objects);
  std::string command = "cd '" + dir.path() + "' && " + compiler + " " +
                        build.programFlags + " -c program.c && " + compiler +
                        " " + build.otherFlags + " -c other.c && " + compiler +
                        " -O2 -c hooks.c && " + compiler + " " + link +
                        " -o program 2>&1";
  CommandResult result = Run(command);
  EXPECT_TRUE(result.Passed()) << command << "\n" << result.output;
  return dir.File("program");
}

struct MethodsRun {
  int exitCode = -1;
  std::string output;
  std::string errors;
};

MethodsRun RunMethods(const TempDir& dir, const std::string& program,
                      const std::string& options) {
  CommandResult result =
      Run(std::string(OSTRIVEL_METHODS_PATH) + " --binary '" + program +
          "' --application App --output '" + dir.File("app.csv") + "' " +
          options + " 2>'" + dir.File("errors.txt") + "'");
  return {result.exitCode, result.output, ReadFile(dir.File("errors.txt"))};
}

class BuildTest : public ::testing::TestWithParam<BuildCase> {};

TEST_P(BuildTest, SaysHowManyFunctionsCallTheHookAndWarnsOnceWhenUncounted) {
  const BuildCase& build = GetParam();
  TempDir dir;
  std::string program = Build(dir, build);
  MethodsRun run = RunMethods(dir, program, "");
  EXPECT_EQ(run.exitCode, 0) << run.errors;
  EXPECT_EQ(run.output, "ostrivel-methods: 4 methods of \"App\" written to \"" +
                            dir.File("app.csv") + "\"\n" + build.countLine);
  std::string warning = build.warning.empty()
                            ? ""
                            : "ostrivel-methods: warning: \"" + program + "\"" +
                                  build.warning + "\n";
  EXPECT_EQ(run.errors, warning);

  // --strict turns the warning into exit code 3; the list is written
  // either way.
  MethodsRun strict = RunMethods(dir, program, "--strict");
  EXPECT_EQ(strict.exitCode, build.warning.empty() ? 0 : 3) << strict.errors;
  EXPECT_THAT(ReadFile(dir.File("app.csv")), HasSubstr("Gamma;\n"));
}

INSTANTIATE_TEST_SUITE_P(Programs, BuildTest, ::testing::ValuesIn(kBuilds),
                         [](const auto& test) { return test.param.name; });

TEST(InstrumentedOnlyTest, ListsOnlyTheFunctionsThatCallTheEntryHook) {
  TempDir dir;
  std::string program = Build(dir, kBuilds[7]);  // PartlyInstrumented
  MethodsRun run = RunMethods(dir, program, "--instrumented-only");
  EXPECT_EQ(run.exitCode, 0) << run.errors;
  EXPECT_EQ(run.errors, "");
  EXPECT_THAT(run.output,
              HasSubstr("ostrivel-methods: 3 of 3 listed functions call the "
                        "entry hook (--instrumented-only left out 1)\n"));
  std::string list = ReadFile(dir.File("app.csv"));
  EXPECT_THAT(list, HasSubstr(";Alpha;\n"));
  EXPECT_THAT(list, HasSubstr(";Beta;\n"));
  EXPECT_THAT(list, HasSubstr(";main;\n"));
  EXPECT_THAT(list, ::testing::Not(HasSubstr("Gamma")));
}

// What ostrivel-methods says about a list that the program's build alone
// does not explain: the options chosen, a program of another machine.
struct ListCase {
  const char* name;
  std::string options;
  bool otherMachine;  // the ELF header claims AArch64
  int exitCode;
  std::string output;  // the line after "N methods ... written"; "" none
  std::string errors;  // "PROGRAM" stands for the program's path
};

void PrintTo(const ListCase& list, std::ostream* out) { *out << list.name; }

const std::string kNoListedCaller =
    "ostrivel-methods: warning: no listed function of \"PROGRAM\" calls the "
    "entry hook, so every count stays 0: build its files with "
    "-finstrument-functions\n";
const std::string kOtherMachine =
    "only x86-64 programs can be checked (this one has ELF machine 183)";

const ListCase kLists[] = {
    {"OnlyUninstrumentedFunctionsListed", "--include Gamma", false, 0,
     "ostrivel-methods: 0 of 1 listed functions call the entry hook\n",
     kNoListedCaller},
    {"OnlyUninstrumentedFunctionsListedStrict", "--include Gamma --strict",
     false, 3,
     "ostrivel-methods: 0 of 1 listed functions call the entry hook\n",
     kNoListedCaller},
    {"OtherMachine", "", true, 0, "",
     "ostrivel-methods: cannot check the instrumentation of \"PROGRAM\": " +
         kOtherMachine + "\n"},
    {"OtherMachineInstrumentedOnly", "--instrumented-only", true, 1, "",
     "ostrivel-methods: \"PROGRAM\": cannot tell which functions call the "
     "entry hook: " +
         kOtherMachine + "\n"},
};

class ListTest : public ::testing::TestWithParam<ListCase> {};

TEST_P(ListTest, ReportsWhatTheListCannotCount) {
  const ListCase& list = GetParam();
  TempDir dir;
  std::string program = Build(dir, kBuilds[7]);  // PartlyInstrumented
  if (list.otherMachine) {
    std::string image = ReadFile(program);
    image[18] = '\xb7';  // e_machine: EM_AARCH64
    image[19] = '\0';
    WriteFile(program, image);
  }
  MethodsRun run = RunMethods(dir, program, list.options);
  EXPECT_EQ(run.exitCode, list.exitCode) << run.errors;
  std::string errors = list.errors;
  errors.replace(errors.find("PROGRAM"), 7, program);
  EXPECT_EQ(run.errors, errors);
  if (list.exitCode != 1) {
    EXPECT_THAT(run.output,
                ::testing::EndsWith("written to \"" + dir.File("app.csv") +
                                    "\"\n" + list.output));
  }
}

INSTANTIATE_TEST_SUITE_P(Lists, ListTest, ::testing::ValuesIn(kLists),
                         [](const auto& test) { return test.param.name; });

}  // namespace
}  // namespace ostrivel::methods
