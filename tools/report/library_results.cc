#include "tools/report/library_results.h"

#include <filesystem>
#include <fstream>

#include <fmt/format.h>

#include "coverage/evaluate.h"
#include "harness/state.h"

namespace ostrivel::report {

LibraryResults::LibraryResults() {
  std::filesystem::create_directory(dir_.File("methods"));
  harness::ResetState();
  harness::Settings& settings = harness::State().settings;
  settings.base_location = dir_.path();
  settings.res_location = dir_.File("result.csv");
  settings.log_location = dir_.File("log.txt");
}

void LibraryResults::AddMethodList(const std::string& application,
                                   const std::vector<std::string>& lines,
                                   bool libraryLoadsIt) {
  std::string text = "ProjectName;" + application + "\r\n";
  for (const std::string& line : lines) text += line + "\r\n";
  std::size_t files = 0;
  for ([[maybe_unused]] const auto& entry :
       std::filesystem::directory_iterator(dir_.File("methods"))) {
    ++files;
  }
  testing::WriteFile(dir_.File(fmt::format("methods/list{}.csv", files)), text);
  if (libraryLoadsIt) SetLibraryList(application, lines);
}

void LibraryResults::SetLibraryList(const std::string& application,
                                    const std::vector<std::string>& lines) {
  harness::State().methodLists[application] = lines;
}

void LibraryResults::DropLibraryList(const std::string& application) {
  harness::State().methodLists.erase(application);
}

void LibraryResults::RunTest(const std::string& name, const Counts& counts,
                             int runtime) {
  harness::State().collector.testName = name;
  harness::ProcessState& state = harness::State();
  coverage::EvaluateAnswer(R"({"timestamp":"2026.12.08 10:00:00.000"})",
                           state.settings, state.collector, state.methodLists);
  std::string body = fmt::format(
      R"({{"timestamp":"2026.12.08 10:{:02}:{:02}.{:03}","data":{{)",
      runtime / 60000, runtime / 1000 % 60, runtime % 1000);
  bool first = true;
  for (const auto& [application, values] : counts) {
    body += fmt::format(R"({}"{}":[{}])", first ? "" : ",", application,
                        fmt::join(values, ","));
    first = false;
  }
  body += "}}";
  coverage::EvaluateAnswer(body, state.settings, state.collector,
                           state.methodLists);
  state.collector.resultFileExists = false;
}

void LibraryResults::AppendToResults(const std::string& bytes) {
  std::ofstream(dir_.File("result.csv"), std::ios::binary | std::ios::app)
      << bytes;
}

Locations LibraryResults::locations() const {
  return {dir_.File("result.csv"), dir_.path(), dir_.File("methods/")};
}

}  // namespace ostrivel::report
