// ostrivel-methods: writes the method-list file of a binary built with
// -finstrument-functions, so that its lines and the probe's counts agree,
// and the binary's build ID beside it, so that the probe can tell when the
// list belongs to another build; or, for a binary built with clang's
// -fprofile-instr-generate (the clang route), the list of its profile
// records, whose counters the service reads from the program's raw profile.

#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "tools/llvm_profile/profile_files.h"
#include "tools/methods/elf_file.h"
#include "tools/methods/elf_symbols.h"
#include "tools/methods/instrumentation_check.h"
#include "tools/methods/method_names.h"
#include "tools/methods/module_table.h"
#include "tools/methods/profiled_methods.h"
#include "tools/methods/source_filter.h"
#include "tools/printable/printable.h"

namespace {

using ostrivel::tools::Printable;

// The exit codes.
constexpr int kFailed = 1;      // the binary or the output failed
constexpr int kBadRequest = 2;  // a bad option: pattern, application name
constexpr int kNotCounted = 3;  // --strict: the program cannot be counted

int Fail(const std::string& message, int code = kFailed) {
  std::cerr << "ostrivel-methods: " << Printable(message) << "\n";
  return code;
}

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

// Compiles every pattern of "texts" into "*patterns". Returns false with a
// message naming the first bad one.
bool CompileAll(const std::vector<std::string>& texts, const char* option,
                std::vector<ostrivel::methods::Pattern>* patterns,
                std::string* message) {
  for (const std::string& text : texts) {
    std::string error;
    std::optional<ostrivel::methods::Pattern> pattern =
        ostrivel::methods::Pattern::Compile(text, &error);
    if (!pattern) {
      *message = std::string("bad regular expression for ") + option + " " +
                 Quoted(text) + ": " + error;
      return false;
    }
    patterns->push_back(std::move(*pattern));
  }
  return true;
}

// Writes "buildId" to "path", or removes "path" when there is no build ID,
// so that a file left by an earlier build never vouches for this list.
bool WriteBuildIdFile(const std::string& path,
                      const std::optional<std::string>& buildId) {
  if (!buildId) {
    std::error_code error;
    std::filesystem::remove(path, error);
    return !error;
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << *buildId << "\n";
  out.close();
  return static_cast<bool>(out);
}

// Says how many of "methods" call the entry hook ("selected" were selected
// before --instrumented-only) and warns, once, when the program cannot be
// counted. Returns the exit code.
int ReportInstrumentation(
    const std::string& binary,
    const ostrivel::methods::InstrumentationReport& report,
    const std::vector<ostrivel::methods::Method>& methods, std::size_t selected,
    bool strict) {
  if (!report.checked) {
    std::cerr << "ostrivel-methods: cannot check the instrumentation of "
              << Printable(Quoted(binary)) << ": "
              << Printable(report.cannotCheck) << "\n";
    return 0;
  }
  std::size_t calling =
      ostrivel::methods::InstrumentedMethods(methods, report).size();
  std::cout << "ostrivel-methods: " << calling << " of " << methods.size()
            << " listed functions call the entry hook";
  if (selected > methods.size()) {
    std::cout << " (--instrumented-only left out " << selected - methods.size()
              << ")";
  } else if (calling > 0 && calling < methods.size()) {
    std::cout << "; the others are never counted (--instrumented-only "
                 "leaves them out)";
  }
  std::cout << std::endl;
  std::optional<std::string> problem =
      ostrivel::methods::DescribeProblem(binary, report);
  if (!problem && calling == 0 && !methods.empty()) {
    problem = "no listed function of " + Quoted(binary) +
              " calls the entry hook, so every count stays 0: build its "
              "files with -finstrument-functions";
  }
  if (!problem) return 0;
  std::cerr << "ostrivel-methods: warning: " << Printable(*problem) << "\n";
  return strict ? kNotCounted : 0;
}

// Writes the module table "text" to "path", or removes "path" when there is
// none, so that a table of an earlier list never maps this one.
bool WriteModuleTable(const std::string& path,
                      const std::optional<std::string>& text) {
  if (!text) {
    std::error_code error;
    std::filesystem::remove(path, error);
    return !error;
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << *text;
  out.close();
  return static_cast<bool>(out);
}

// The clang route: the list of the profile records of "image".
int WriteProfiledList(const std::string& binary, const std::string& application,
                      const std::string& output, const std::string& channel,
                      const std::string& image,
                      const ostrivel::methods::Selection& selection,
                      const ostrivel::methods::SourceFilter* sources) {
  using ostrivel::methods::SourceFilter;
  std::vector<ostrivel::methods::ProfiledMethod> methods;
  std::string error;
  if (!ostrivel::methods::ReadProfiledMethods(image, selection, &methods,
                                              &error)) {
    return Fail(Quoted(binary) + ": " + error);
  }
  if (sources != nullptr) {
    // Records carry names, not addresses: a name the debug information
    // defines both under the directories and elsewhere cannot be placed.
    for (const auto& method : methods) {
      if (sources->KeepsSymbol(method.symbol, method.sourceFile) ==
          SourceFilter::Verdict::kAmbiguous) {
        std::string files;
        for (const std::string& file : sources->FilesOf(method.symbol)) {
          files += (files.empty() ? "" : ", ") + Quoted(file);
        }
        return Fail(Quoted(binary) + ": cannot tell whether " +
                    Quoted(method.symbol) +
                    " is defined under --source-dir: its debug information "
                    "defines it in " +
                    files + ", and its profile record does not tell which");
      }
    }
    std::erase_if(methods, [&](const auto& method) {
      return sources->KeepsSymbol(method.symbol, method.sourceFile) !=
             SourceFilter::Verdict::kKeep;
    });
  }
  std::ofstream out(output, std::ios::binary | std::ios::trunc);
  out << ostrivel::methods::ProfiledMethodListText(application, methods);
  out.close();
  if (!out) return Fail("cannot write " + Quoted(output));
  // The build ID is the probe's check; a file left by a probe build of the
  // program would vouch for nothing here.
  std::string buildIdPath = output + ".build-id";
  if (!WriteBuildIdFile(buildIdPath, std::nullopt) ||
      !WriteModuleTable(output + ".modules", std::nullopt)) {
    return Fail("cannot write " + Quoted(buildIdPath));
  }
  if (methods.empty()) {
    std::cerr << "ostrivel-methods: warning: no function of "
              << Printable(Quoted(binary)) << " was selected\n";
  }
  std::cout << "ostrivel-methods: " << methods.size() << " profiled methods of "
            << Printable(Quoted(application)) << " written to "
            << Printable(Quoted(output))
            << "\nostrivel-methods: run the program with LLVM_PROFILE_FILE="
            << Printable(ostrivel::llvm_profile::ProfileFilePattern(
                   ostrivel::llvm_profile::ProfileDirectoryPath(channel,
                                                                application)))
            << "\n";
  return 0;
}

// Writes the list of the binaries "binaries", read into "listed", with its
// module table and, for one binary, its build ID.
int WriteSymbolList(const std::vector<std::string>& binaries,
                    const std::vector<ostrivel::methods::ListedBinary>& listed,
                    const std::string& application, const std::string& output) {
  ostrivel::methods::CombinedList list =
      ostrivel::methods::CombineBinaries(application, listed);
  std::ofstream out(output, std::ios::binary | std::ios::trunc);
  out << list.listText;
  out.close();
  if (!out) return Fail("cannot write " + Quoted(output));
  // Several binaries have no one build ID: the module table names each.
  std::string buildIdPath = output + ".build-id";
  if (!WriteBuildIdFile(buildIdPath, listed.size() == 1
                                         ? listed[0].buildId
                                         : std::optional<std::string>())) {
    return Fail("cannot write " + Quoted(buildIdPath));
  }
  // A program's list is found by its build ID alone; a library's, or one of
  // several binaries, also needs the table of its modules.
  std::string modulesPath = output + ".modules";
  bool needsTable = listed.size() > 1 || !listed[0].program;
  if (!WriteModuleTable(
          modulesPath, needsTable ? std::optional<std::string>(list.modulesText)
                                  : std::nullopt)) {
    return Fail("cannot write " + Quoted(modulesPath));
  }
  for (std::size_t i = 0; i < listed.size(); ++i) {
    if (listed[i].methods.empty()) {
      std::cerr << "ostrivel-methods: warning: no function of "
                << Printable(Quoted(binaries[i])) << " was selected\n";
    }
    if (!listed[i].buildId) {
      std::cerr << "ostrivel-methods: warning: "
                << Printable(Quoted(binaries[i]))
                << " has no GNU build ID (link it with -Wl,--build-id): the "
                   "probe cannot tell when the list is stale\n";
    }
  }
  std::cout << "ostrivel-methods: " << list.methodCount << " methods of "
            << Printable(Quoted(application)) << " written to "
            << Printable(Quoted(output)) << "\n";
  return 0;
}

int Main(int argc, char** argv) {
  using ostrivel::methods::Selection;

  CLI::App app{
      "ostrivel-methods: writes the method-list file of a program built with "
      "-finstrument-functions: \"ProjectName;<application>\", then one "
      "\"ID;Method;Package\" line per function of its .text section, in "
      "address order. The ID is the function's offset in the executable, "
      "which libostrivel-probe maps back to the line's position. The "
      "program's GNU build ID goes to \"<output>.build-id\", which the probe "
      "compares with the running program's.\n"
      "A program built with clang's -fprofile-instr-generate (it has "
      "__llvm_prf_data) gets one \"llvm:<name hash>;Method;Package\" line "
      "per profile record instead, in record order, and the "
      "LLVM_PROFILE_FILE to run it with is printed (see --channel).\n"
      "--source-dir keeps the functions whose definition lies under the "
      "given directories, by the binary's debug information (by address, or "
      "on the clang route by symbol name).\n"
      "Exit code: 0 written; 1 the binary could not be read (or has no "
      "debug information for --source-dir) or the output not written; 2 a "
      "bad regular expression, application name or --source-dir; 3 (with "
      "--strict) written, but the program cannot be counted."};
  std::vector<std::string> binaries;
  std::string application, output;
  std::vector<std::string> include, exclude, sourceDirs;
  Selection selection;
  app.add_option("--binary", binaries,
                 "The executable or shared library to list (a regular "
                 "file); repeated, the functions of all of them as one "
                 "application, matched by symbol name")
      ->required();
  app.add_option("--application", application,
                 "Application name for the header; the service reports the "
                 "counts under it")
      ->required();
  app.add_option("--output", output,
                 "The method-list file to write (into the methods directory "
                 "of the library and the service)")
      ->required();
  app.add_option("--include", include,
                 "Keep only functions whose demangled name matches one of "
                 "these POSIX extended regular expressions");
  app.add_option("--exclude", exclude,
                 "Leave out functions whose demangled name matches one of "
                 "these POSIX extended regular expressions");
  app.add_option("--source-dir", sourceDirs,
                 "Keep only functions defined in source files under this "
                 "directory (repeatable), as the binary's debug information "
                 "says (build with -g); symbolic links are resolved");
  app.add_flag("--keep-std", selection.keepStandardLibrary,
               "Keep functions of the standard library (std::, __gnu_cxx::)");
  std::string route = "auto";
  app.add_option("--route", route,
                 "gcc: the symbol table, for -finstrument-functions and the "
                 "probe; clang: the profile records, for "
                 "-fprofile-instr-generate; auto (the default): clang when "
                 "the program has profile records")
      ->check(CLI::IsMember({"auto", "gcc", "clang"}));
  std::string channel = "default";
  app.add_option("--channel", channel,
                 "The service's --channel, for the LLVM_PROFILE_FILE printed "
                 "on the clang route");
  bool instrumentedOnly = false;
  app.add_flag("--instrumented-only", instrumentedOnly,
               "List only functions that call the entry hook (built with "
               "-finstrument-functions)");
  bool strict = false;
  app.add_flag("--strict", strict,
               "Exit with code 3 when the program cannot be counted (no "
               "instrumented function, the probe not linked or linked after "
               "the C library)");
  CLI11_PARSE(app, argc, argv);

  if (application.empty() ||
      application.find_first_of("\r\n") != std::string::npos) {
    return Fail("the application name must be one non-empty line", kBadRequest);
  }
  std::string message;
  if (!CompileAll(include, "--include", &selection.include, &message) ||
      !CompileAll(exclude, "--exclude", &selection.exclude, &message)) {
    return Fail(message, kBadRequest);
  }
  for (std::string& dir : sourceDirs) {
    std::optional<std::string> canonical =
        ostrivel::methods::CanonicalDirectory(dir, &message);
    if (!canonical) return Fail("--source-dir: " + message, kBadRequest);
    dir = *canonical;
  }

  std::vector<ostrivel::methods::ListedBinary> listed;
  // Per binary: what its check found, and how many functions were selected
  // before --instrumented-only.
  std::vector<ostrivel::methods::InstrumentationReport> reports;
  std::vector<std::size_t> selected;
  for (const std::string& binary : binaries) {
    std::string image;
    std::string error;
    if (!ostrivel::methods::ReadElfFile(binary, &image, &error)) {
      return Fail(Quoted(binary) + ": " + error);
    }
    std::optional<ostrivel::methods::SourceFilter> sources;
    if (!sourceDirs.empty()) {
      ostrivel::methods::SourceFilter::Failure failure;
      sources = ostrivel::methods::ReadSourceFilter(image, sourceDirs, &failure,
                                                    &error);
      if (failure ==
          ostrivel::methods::SourceFilter::Failure::kNoDebugInformation) {
        return Fail(Quoted(binary) +
                    " has no debug information: build with -g to use "
                    "--source-dir");
      }
      if (!sources) return Fail(Quoted(binary) + ": " + error);
    }
    if (route == "clang" ||
        (route == "auto" && ostrivel::methods::HasProfileRecords(image))) {
      if (binaries.size() > 1) {
        return Fail("one --binary only for a program with profile records (" +
                        Quoted(binary) + ")",
                    kBadRequest);
      }
      return WriteProfiledList(binary, application, output, channel, image,
                               selection, sources ? &*sources : nullptr);
    }
    std::vector<ostrivel::methods::FunctionSymbol> symbols;
    if (!ostrivel::methods::ReadFunctionSymbols(image, &symbols, &error)) {
      return Fail(Quoted(binary) + ": " + error);
    }
    auto methods = ostrivel::methods::SelectMethods(symbols, selection);
    if (sources) {
      std::erase_if(methods, [&](const ostrivel::methods::Method& method) {
        return !sources->KeepsAddress(method.address);
      });
    }
    reports.push_back(ostrivel::methods::CheckInstrumentation(image));
    selected.push_back(methods.size());
    if (instrumentedOnly) {
      if (!reports.back().checked) {
        return Fail(Quoted(binary) +
                    ": cannot tell which functions call the entry hook: " +
                    reports.back().cannotCheck);
      }
      methods = ostrivel::methods::InstrumentedMethods(methods, reports.back());
    }
    listed.push_back(ostrivel::methods::ListedBinary{
        std::filesystem::path(binary).filename().string(),
        ostrivel::methods::ReadBuildId(image),
        ostrivel::methods::DefinesMain(symbols), std::move(methods)});
  }
  int written = WriteSymbolList(binaries, listed, application, output);
  if (written != 0) return written;
  int exitCode = 0;
  for (std::size_t i = 0; i < binaries.size(); ++i) {
    int reported = ReportInstrumentation(
        binaries[i], reports[i], listed[i].methods, selected[i], strict);
    if (exitCode == 0) exitCode = reported;
  }
  return exitCode;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Main(argc, argv);
  } catch (const std::exception& e) {
    return Fail(e.what());
  } catch (...) {
    return Fail("unexpected failure");
  }
}
