#include "tools/report/diff_source.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>

#include <fmt/format.h>

#include "tools/process/child_process.h"

namespace ostrivel::report {

using process::ShellQuoted;

namespace {

// A new empty file of our own in the temporary directory, for git's output:
// git writes it with --output, so that its messages on standard error stay
// apart from the diff.
std::optional<std::string> NewTemporaryFile() {
  std::error_code code;
  std::filesystem::path directory = std::filesystem::temp_directory_path(code);
  if (code) return std::nullopt;
  std::random_device random;
  for (int attempt = 0; attempt < 16; ++attempt) {
    std::string path = (directory / fmt::format("ostrivel-diff-{:08x}{:08x}",
                                                random(), random()))
                           .string();
    // "x": fails when the name is taken.
    if (std::FILE* file = std::fopen(path.c_str(), "wx")) {
      std::fclose(file);
      return path;
    }
  }
  return std::nullopt;
}

std::optional<std::vector<FileChange>> RunGitDiff(const std::string& revision,
                                                  std::string* error) {
  if (revision.empty() || revision[0] == '-') {
    *error = fmt::format("--git: \"{}\" is no revision", revision);
    return std::nullopt;
  }
  std::optional<std::string> output = NewTemporaryFile();
  if (!output) {
    *error = "--git: no temporary file for the diff";
    return std::nullopt;
  }
  // Prefixes, renames and plain text whatever the user's configuration says.
  std::string command = fmt::format(
      "exec git --no-pager diff --no-color --no-ext-diff --no-textconv "
      "--unified=0 --find-renames --src-prefix=a/ --dst-prefix=b/ "
      "--output={} {} --",
      ShellQuoted(*output), ShellQuoted(revision));
  process::CommandOptions options;
  options.timeoutMs = kGitTimeoutMs;
  process::CommandResult result = process::RunCommand(command, options);
  std::optional<std::vector<FileChange>> changes;
  if (!result.Passed()) {
    std::string said = result.output;
    while (!said.empty() && (said.back() == '\n' || said.back() == '\r')) {
      said.pop_back();
    }
    *error = fmt::format("git diff {} failed ({}){}{}", revision,
                         result.started ? result.Describe() : result.error,
                         said.empty() ? "" : ": ", said);
  } else {
    std::ifstream in(*output, std::ios::binary);
    std::string parseError;
    changes = ParseUnifiedDiff(in, &parseError);
    if (!changes) *error = "the output of git diff: " + parseError;
  }
  std::error_code code;
  std::filesystem::remove(*output, code);
  return changes;
}

}  // namespace

std::optional<std::vector<FileChange>> ReadDiff(const DiffSource& source,
                                                std::istream& standardInput,
                                                std::string* error) {
  if (!source.gitRevision.empty()) return RunGitDiff(source.gitRevision, error);
  std::string parseError;
  std::optional<std::vector<FileChange>> changes;
  if (source.file == "-") {
    changes = ParseUnifiedDiff(standardInput, &parseError);
  } else {
    std::ifstream in(source.file, std::ios::binary);
    if (!in) {
      *error = fmt::format("the diff \"{}\" cannot be read", source.file);
      return std::nullopt;
    }
    changes = ParseUnifiedDiff(in, &parseError);
  }
  if (!changes) {
    *error = fmt::format("the diff \"{}\": {}",
                         source.file == "-" ? "(standard input)" : source.file,
                         parseError);
  }
  return changes;
}

}  // namespace ostrivel::report
