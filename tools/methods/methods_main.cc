// ostrivel-methods: writes the method-list file of a binary built with
// -finstrument-functions, so that its lines and the probe's counts agree.

#include <fstream>
#include <iostream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "tools/methods/elf_symbols.h"
#include "tools/methods/method_names.h"

namespace {

int Fail(const std::string& message) {
  std::cerr << "ostrivel-methods: " << message << "\n";
  return 1;
}

int Main(int argc, char** argv) {
  using ostrivel::methods::Selection;

  CLI::App app{
      "ostrivel-methods: writes the method-list file of a program built with "
      "-finstrument-functions: \"ProjectName;<application>\", then one "
      "\"ID;Method;Package\" line per function of its .text section, in "
      "address order. The ID is the function's offset in the executable, "
      "which libostrivel-probe maps back to the line's position."};
  std::string binary, application, output;
  std::vector<std::string> include, exclude;
  Selection selection;
  app.add_option("--binary", binary, "The executable to list")
      ->required()
      ->check(CLI::ExistingFile);
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
                 "these regular expressions");
  app.add_option("--exclude", exclude,
                 "Leave out functions whose demangled name matches one of "
                 "these regular expressions");
  app.add_flag("--keep-std", selection.keepStandardLibrary,
               "Keep functions of the standard library (std::, __gnu_cxx::)");
  CLI11_PARSE(app, argc, argv);

  if (application.empty() ||
      application.find_first_of("\r\n") != std::string::npos) {
    return Fail("the application name must be one non-empty line");
  }
  try {
    for (const std::string& pattern : include) {
      selection.include.emplace_back(pattern);
    }
    for (const std::string& pattern : exclude) {
      selection.exclude.emplace_back(pattern);
    }
  } catch (const std::regex_error& e) {
    return Fail(std::string("bad regular expression: ") + e.what());
  }

  std::ifstream in(binary, std::ios::binary);
  std::string image((std::istreambuf_iterator<char>(in)),
                    std::istreambuf_iterator<char>());
  if (!in && !in.eof()) return Fail("cannot read \"" + binary + "\"");
  std::vector<ostrivel::methods::FunctionSymbol> symbols;
  std::string error;
  if (!ostrivel::methods::ReadFunctionSymbols(image, &symbols, &error)) {
    return Fail("\"" + binary + "\": " + error);
  }
  auto methods = ostrivel::methods::SelectMethods(symbols, selection);
  std::ofstream out(output, std::ios::binary | std::ios::trunc);
  out << ostrivel::methods::MethodListText(application, methods);
  out.close();
  if (!out) return Fail("cannot write \"" + output + "\"");
  if (methods.empty()) {
    std::cerr << "ostrivel-methods: warning: no function of \"" << binary
              << "\" was selected\n";
  }
  std::cout << "ostrivel-methods: " << methods.size() << " methods of \""
            << application << "\" written to \"" << output << "\"\n";
  return 0;
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
