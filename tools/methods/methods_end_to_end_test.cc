// ostrivel-methods, the probe's automatic counting and the service
// together, on a program built with -finstrument-functions.

#include <elf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <boost/json.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "formats/method_list_format.h"
#include "testing/temp_dir.h"
#include "testing/test_process.h"
#include "tools/collection_service/collection_service.h"
#include "tools/counter_segment/counter_segment.h"

namespace ostrivel::methods {
namespace {

using ostrivel::testing::ReadFile;
using ostrivel::testing::TempDir;
using ostrivel::testing::WriteFile;
using tools::testing::ActionRequest;
using tools::testing::ChildProcess;
using tools::testing::ExitCode;
using tools::testing::HttpClient;
using tools::testing::ProgramRun;
using tools::testing::RunProgram;

class MethodsEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(methods_);
    ProgramRun run =
        RunProgram({OSTRIVEL_METHODS_PATH, "--binary", OSTRIVEL_SAMPLE_PATH,
                    "--application", "Sample", "--output", list_});
    ASSERT_EQ(run.exitCode, 0) << run.errors;
    std::string error;
    auto file = formats::ReadMethodListFile(list_, &error);
    ASSERT_TRUE(file.has_value()) << error;
    lines_ = file->lines;
    // Every listed function of the sample calls the entry hook.
    EXPECT_EQ(run.output,
              "ostrivel-methods: " + std::to_string(lines_.size()) +
                  " methods of \"Sample\" written to \"" + list_ +
                  "\"\nostrivel-methods: " + std::to_string(lines_.size()) +
                  " of " + std::to_string(lines_.size()) +
                  " listed functions call the entry hook\n");
    // The program's build ID, beside the list.
    std::string buildId = ReadFile(list_ + ".build-id");
    ASSERT_TRUE(std::regex_match(buildId, std::regex("[0-9a-f]{40}\n")))
        << buildId;
    buildId_ = buildId.substr(0, 40);
  }

  // Runs the sample with automatic counting on this test's channel.
  ProgramRun RunSample(const std::vector<std::string>& calls,
                       const std::string& list) {
    std::vector<std::string> argv{OSTRIVEL_SAMPLE_PATH};
    argv.insert(argv.end(), calls.begin(), calls.end());
    return RunProgram(
        argv, {"OSTRIVEL_CHANNEL=" + channel_, "OSTRIVEL_METHOD_LIST=" + list});
  }

  TempDir dir_;
  std::string methods_ = dir_.File("methods/");
  std::string list_ = methods_ + "sample.csv";
  std::string channel_ =
      "methods" + std::to_string(::getpid()) +
      ::testing::UnitTest::GetInstance()->current_test_info()->name();
  std::vector<std::string> lines_;
  std::string buildId_;
};

TEST_F(MethodsEndToEndTest, TheListNamesTheProgramsOwnFunctions) {
  std::vector<std::string> names;
  std::uint64_t lastId = 0;
  for (const std::string& line : lines_) {
    std::uint64_t id = std::stoull(line.substr(0, line.find(';')), nullptr, 16);
    EXPECT_LT(lastId, id) << "lines in address order: " << line;
    lastId = id;
    names.push_back(line.substr(line.find(';') + 1));
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{
                       "Alpha(int);sample", "Beta(int);sample",
                       "Counter(int);sample::Counter",
                       "Hidden(int);sample::(anonymous namespace)",
                       "NeverCalled(int);sample", "Next();sample::Counter",
                       "Twice<int>(int);sample", "main;", "plain_c;"}));
}

TEST_F(MethodsEndToEndTest, EachFunctionIsCountedAtItsPositionInTheList) {
  collection::ServiceLog log;
  log.Silence();
  collection::CollectionService service(&log);
  collection::ServiceOptions options;
  options.port = 0;
  options.methodsDirectory = methods_;
  options.channel = channel_;
  std::string error;
  ASSERT_TRUE(service.Start(options, &error)) << error;
  std::thread serving([&service] { service.Run(); });
  HttpClient client;
  ASSERT_TRUE(client.Connect(service.port()));
  ASSERT_TRUE(client.Send(ActionRequest(service.port(), "NEWTC")));
  ASSERT_TRUE(client.Receive().has_value());

  ProgramRun run = RunSample(
      {"Alpha=3", "Beta=5", "Counter=2", "Twice=4", "Hidden=6", "plain_c=1"},
      list_);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.errors, "");
  // A second process adds to the same test.
  EXPECT_EQ(RunSample({"Alpha=10"}, list_).exitCode, 0);

  ASSERT_TRUE(client.Send(ActionRequest(service.port(), "ASK")));
  auto answer = client.Receive();
  service.Stop();
  serving.join();
  ASSERT_TRUE(answer.has_value());
  auto counts =
      boost::json::parse(answer->body).at("data").at("Sample").as_array();
  ASSERT_EQ(counts.size(), lines_.size());
  const std::map<std::string, std::int64_t> expected = {
      {"main", 2},           {"Alpha(int)", 13},
      {"Beta(int)", 5},      {"NeverCalled(int)", 0},
      {"plain_c", 1},        {"Hidden(int)", 6},
      {"Counter(int)", 2},   {"Next()", 2},
      {"Twice<int>(int)", 4}};
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    std::string method = lines_[i].substr(lines_[i].find(';') + 1);
    method = method.substr(0, method.find(';'));
    ASSERT_EQ(expected.count(method), 1u) << method;
    EXPECT_EQ(counts[i].as_int64(), expected.at(method)) << method;
  }
}

TEST_F(MethodsEndToEndTest, WithoutAMethodListTheProbeIsSilent) {
  ProgramRun run =
      RunProgram({OSTRIVEL_SAMPLE_PATH, "Alpha=1"}, {"OSTRIVEL_METHOD_LIST="});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.errors, "");
}

TEST_F(MethodsEndToEndTest, CountingIsOffWithOneLineWhenItCannotWork) {
  ProgramRun noService = RunSample({"Alpha=1"}, list_);
  EXPECT_EQ(noService.exitCode, 0);
  EXPECT_EQ(noService.errors,
            "ostrivel-probe: automatic counting is off: no counter segment "
            "for the application \"Sample\" on the channel \"" +
                channel_ + "\" (is ostrivel-service running?)\n");

  // A line break in the path cannot forge a second line.
  ProgramRun noList = RunSample({"Alpha=1"}, dir_.File("missing\nforged.csv"));
  EXPECT_EQ(noList.exitCode, 0);
  EXPECT_EQ(noList.errors, "ostrivel-probe: automatic counting is off: \"" +
                               dir_.File("missing\\nforged.csv") +
                               "\" can't be opened\n");

  WriteFile(dir_.File("noids.csv"), "ProjectName;Sample\nmain;;\n");
  ProgramRun noIds = RunSample({"Alpha=1"}, dir_.File("noids.csv"));
  EXPECT_EQ(noIds.errors,
            "ostrivel-probe: automatic counting is off: no function IDs in \"" +
                dir_.File("noids.csv") + "\"\n");

  // The service counts a list of another length for the application.
  tools::OwnedSegment segment;
  std::string error, note;
  ASSERT_TRUE(
      segment.Create(tools::SegmentName(channel_, "Sample"), 2, &error, &note));
  ProgramRun mismatch = RunSample({"Alpha=1"}, list_);
  EXPECT_EQ(mismatch.exitCode, 0);
  EXPECT_EQ(mismatch.errors,
            "ostrivel-probe: automatic counting is off: \"" + list_ +
                "\" has " + std::to_string(lines_.size()) +
                " methods, the service counts 2 for \"Sample\"\n");
  EXPECT_EQ(segment.counter(0).load() + segment.counter(1).load(), 0u);
}

TEST_F(MethodsEndToEndTest, AListOfAnotherBuildTurnsCountingOff) {
  // As if the program had been rebuilt after its list was written.
  WriteFile(list_ + ".build-id", "0123456789abcdef0123456789abcdef01234567\n");
  tools::OwnedSegment segment;
  std::string error, note;
  ASSERT_TRUE(segment.Create(tools::SegmentName(channel_, "Sample"),
                             lines_.size(), &error, &note));
  ProgramRun run = RunSample({"Alpha=3", "Beta=2"}, list_);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.errors,
            "ostrivel-probe: automatic counting is off: the method list \"" +
                list_ +
                "\" is stale: it was made for build ID "
                "0123456789abcdef0123456789abcdef01234567, this program has "
                "build ID " +
                buildId_ + " (run ostrivel-methods again)\n");
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    EXPECT_EQ(segment.counter(i).load(), 0u) << lines_[i];
  }
}

TEST_F(MethodsEndToEndTest, AProgramWithoutBuildIdLeavesNoBuildIdFile) {
  std::string plain = dir_.File("plain");
  if (std::system(("objcopy --remove-section .note.gnu.build-id '" +
                   std::string(OSTRIVEL_SAMPLE_PATH) + "' '" + plain + "'")
                      .c_str()) != 0) {
    GTEST_SKIP() << "objcopy (binutils) is not available";
  }
  // A build-ID file of an earlier build must not vouch for the new list.
  ProgramRun run = RunProgram({OSTRIVEL_METHODS_PATH, "--binary", plain,
                               "--application", "Sample", "--output", list_});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.errors, "ostrivel-methods: warning: \"" + plain +
                            "\" has no GNU build ID (link it with "
                            "-Wl,--build-id): the probe cannot tell when the "
                            "list is stale\n");
  EXPECT_FALSE(testing::FileExists(list_ + ".build-id"));
}

TEST_F(MethodsEndToEndTest, LinesWithoutAnIdAreSkippedAndKeepTheirPlace) {
  // A hand-edited list: a line that names no function keeps its position
  // but is never counted.
  std::string text = ReadFile(list_);
  text.insert(text.find('\n') + 1, "not an id;Garbage;\n");
  WriteFile(list_, text);
  tools::OwnedSegment segment;
  std::string error, note;
  ASSERT_TRUE(segment.Create(tools::SegmentName(channel_, "Sample"),
                             lines_.size() + 1, &error, &note));
  ProgramRun run = RunSample({"Alpha=2"}, list_);
  EXPECT_EQ(run.errors, "");
  EXPECT_EQ(segment.counter(0).load(), 0u);  // the inserted line
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    // Every other line moved down by one.
    std::string method = lines_[i].substr(lines_[i].find(';') + 1);
    std::uint64_t expected = method == "main;"               ? 1
                             : method == "Alpha(int);sample" ? 2
                                                             : 0;
    EXPECT_EQ(segment.counter(i + 1).load(), expected) << method;
  }
}

TEST_F(MethodsEndToEndTest, AStrippedProgramIsRefused) {
  std::string stripped = dir_.File("stripped");
  if (std::system(
          ("strip -o '" + stripped + "' '" OSTRIVEL_SAMPLE_PATH "'").c_str()) !=
      0) {
    GTEST_SKIP() << "strip (binutils) is not available";
  }
  ProgramRun run =
      RunProgram({OSTRIVEL_METHODS_PATH, "--binary", stripped, "--application",
                  "Sample", "--output", dir_.File("out.csv")});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.errors, "ostrivel-methods: \"" + stripped +
                            "\": the ELF file has no symbol table (it was "
                            "stripped)\n");
}

// ---- hostile input ----

ProgramRun RunMethods(const std::string& binary, const std::string& output,
                      const std::vector<std::string>& options = {}) {
  std::vector<std::string> argv{OSTRIVEL_METHODS_PATH,
                                "--binary",
                                binary,
                                "--application",
                                "Long",
                                "--output",
                                output};
  argv.insert(argv.end(), options.begin(), options.end());
  return RunProgram(argv);
}

TEST(MethodsHostileInputTest, PatternsMatchNamesOfAnyLength) {
  // The demangled name of cart::Cart<Level10>::Add is over 70,000
  // characters; a matcher that recurses per character dies of it.
  TempDir dir;
  ProgramRun include = RunMethods(OSTRIVEL_LONG_NAME_PATH, dir.File("in.csv"),
                                  {"--include", "Cart.*"});
  ASSERT_EQ(include.exitCode, 0) << include.errors;
  std::string error;
  auto included = formats::ReadMethodListFile(dir.File("in.csv"), &error);
  ASSERT_TRUE(included.has_value()) << error;
  ASSERT_EQ(included->lines.size(), 1u);
  EXPECT_EQ(included->lines[0].size(), 1023u);
  EXPECT_THAT(included->lines[0],
              ::testing::MatchesRegex(R"(0x[0-9a-f]+;Add\(cart::Pair<.*)"));

  // Only the long name ends so; the matcher has to reach its end.
  ProgramRun exclude = RunMethods(OSTRIVEL_LONG_NAME_PATH, dir.File("ex.csv"),
                                  {"--exclude", "> >, int\\)$"});
  ASSERT_EQ(exclude.exitCode, 0) << exclude.errors;
  auto excluded = formats::ReadMethodListFile(dir.File("ex.csv"), &error);
  ASSERT_TRUE(excluded.has_value()) << error;
  std::vector<std::string> names;
  for (const std::string& line : excluded->lines) {
    names.push_back(line.substr(line.find(';') + 1));
  }
  EXPECT_THAT(names,
              ::testing::UnorderedElementsAre("main;", "Short(int);cart"));
}

TEST(MethodsHostileInputTest, BadPatternIsRefusedWithExitCodeTwo) {
  TempDir dir;
  ProgramRun run = RunMethods(OSTRIVEL_LONG_NAME_PATH, dir.File("out.csv"),
                              {"--include", "Cart", "--exclude", "(\n"});
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_EQ(run.errors,
            "ostrivel-methods: bad regular expression for --exclude "
            "\"(\\n\": Unmatched ( or \\(\n");
  EXPECT_FALSE(testing::FileExists(dir.File("out.csv")));
}

std::string SampleImage() { return ReadFile(OSTRIVEL_SAMPLE_PATH); }

// The sample with the offset of its symbol table moved past the end.
std::string SymbolTablePastTheEnd(std::size_t* index, std::uint64_t* end) {
  std::string image = SampleImage();
  Elf64_Ehdr header;
  std::memcpy(&header, image.data(), sizeof header);
  for (std::size_t i = 0; i < header.e_shnum; ++i) {
    Elf64_Shdr section;
    char* at = image.data() + header.e_shoff + i * sizeof section;
    std::memcpy(&section, at, sizeof section);
    if (section.sh_type != SHT_SYMTAB) continue;
    section.sh_offset = image.size() + 4096;
    std::memcpy(at, &section, sizeof section);
    *index = i;
    *end = section.sh_offset + section.sh_size;
    return image;
  }
  ADD_FAILURE() << "the sample has no symbol table";
  return image;
}

struct BinaryCase {
  std::string what;
  // Makes the binary in "dir"; returns its path and the message expected
  // after "ostrivel-methods: \"<path>\": ".
  std::pair<std::string, std::string> (*make)(const TempDir& dir);
};

void PrintTo(const BinaryCase& value, std::ostream* out) { *out << value.what; }

class MethodsBinaryTest : public ::testing::TestWithParam<BinaryCase> {};

TEST_P(MethodsBinaryTest, OnlyWhatIsThereIsReadAndNothingWaits) {
  TempDir dir;
  auto [binary, message] = GetParam().make(dir);
  // Bounded: a tool that reads without end or waits for a writer is killed
  // after the helper's wait and fails here.
  ProgramRun run = RunMethods(binary, dir.File("out.csv"));
  EXPECT_EQ(run.exitCode, 1);
  std::string shown = std::regex_replace(binary, std::regex("\n"), "\\n");
  EXPECT_EQ(run.errors,
            "ostrivel-methods: \"" + shown + "\": " + message + "\n");
  EXPECT_FALSE(testing::FileExists(dir.File("out.csv")));
}

INSTANTIATE_TEST_SUITE_P(
    Files, MethodsBinaryTest,
    ::testing::Values(
        BinaryCase{"EndlessDevice",
                   [](const TempDir&) {
                     return std::pair<std::string, std::string>(
                         "/dev/zero",
                         "not a regular file (a character device)");
                   }},
        BinaryCase{"FifoWithoutWriter",
                   [](const TempDir& dir) {
                     std::string fifo = dir.File("fifo");
                     EXPECT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
                     return std::pair<std::string, std::string>(
                         fifo, "not a regular file (a FIFO)");
                   }},
        BinaryCase{"MissingFileWithALineBreak",
                   [](const TempDir& dir) {
                     return std::pair<std::string, std::string>(
                         dir.File("no\nsuch"),
                         "cannot be opened: No such file or directory");
                   }},
        BinaryCase{"Directory",
                   [](const TempDir& dir) {
                     return std::pair<std::string, std::string>(
                         dir.File("."), "not a regular file (a directory)");
                   }},
        BinaryCase{"TruncatedElf",
                   [](const TempDir& dir) {
                     std::string image = SampleImage();
                     Elf64_Ehdr header;
                     std::memcpy(&header, image.data(), sizeof header);
                     std::string path = dir.File("truncated");
                     WriteFile(path, image.substr(0, image.size() / 2));
                     return std::pair<std::string, std::string>(
                         path, "the ELF file's section table starts at byte " +
                                   std::to_string(header.e_shoff) +
                                   ", past the end of the file (" +
                                   std::to_string(image.size() / 2) +
                                   " bytes): it is truncated or damaged");
                   }},
        BinaryCase{"SectionPastTheEnd",
                   [](const TempDir& dir) {
                     std::size_t index = 0;
                     std::uint64_t end = 0;
                     std::string image = SymbolTablePastTheEnd(&index, &end);
                     std::string path = dir.File("damaged");
                     WriteFile(path, image);
                     return std::pair<std::string, std::string>(
                         path, "the ELF file's section " +
                                   std::to_string(index) + " ends at byte " +
                                   std::to_string(end) +
                                   ", past the end of the file (" +
                                   std::to_string(image.size()) +
                                   " bytes): it is truncated or damaged");
                   }}),
    [](const ::testing::TestParamInfo<BinaryCase>& test) {
      return test.param.what;
    });

}  // namespace
}  // namespace ostrivel::methods
