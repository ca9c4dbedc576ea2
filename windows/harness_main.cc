// ostrivel-harness: a Windows test harness in miniature. It loads the DLL
// with LoadLibraryA and finds the seven functions with GetProcAddress under
// the names an MSVC-built harness looks up, then calls them as told on
// standard input, one call per line:
//
//   Init <configPath>     SetTestName <name>    Open    StartNewTestCase
//   GetCurrentPath        GetCollectedInformation       Close
//
// and answers each on standard output with "<function> true" or
// "<function> false". Whoever drives it runs the tests between
// StartNewTestCase and GetCollectedInformation. The end of the input ends
// the program (the library is unloaded, Close is not called for it).
//
// Usage: ostrivel-harness <path of ostrivel.dll>
// Exit codes: 0 at the end of the input, 2 when the DLL or one of the seven
// names is missing, 3 for an unknown command.

#include <windows.h>

#include <cstdio>
#include <iostream>
#include <string>

namespace {

// Both signatures are cdecl with a bool result, as the MSVC names say
// ("YA_N").
using NoArgument = bool (*)();
using TextArgument = bool (*)(const char*);

struct Functions {
  TextArgument init = nullptr;
  NoArgument open = nullptr;
  NoArgument startNewTestCase = nullptr;
  TextArgument setTestName = nullptr;
  NoArgument getCurrentPath = nullptr;
  NoArgument getCollectedInformation = nullptr;
  NoArgument close = nullptr;
};

template <typename Function>
bool Find(HMODULE library, const char* name, Function* function) {
  FARPROC address = ::GetProcAddress(library, name);
  if (address == nullptr) {
    std::cerr << "ostrivel-harness: no export \"" << name << "\"\n";
    return false;
  }
  *function = reinterpret_cast<Function>(reinterpret_cast<void*>(address));
  return true;
}

// MSVC decorates a pointer parameter PEBD on x64 and PBD on x86.
#ifdef _WIN64
#define OSTRIVEL_CHAR_POINTER "PEBD"
#else
#define OSTRIVEL_CHAR_POINTER "PBD"
#endif

bool FindAll(HMODULE library, Functions* f) {
  bool found =
      Find(library, "?Init@Functionality@@YA_N" OSTRIVEL_CHAR_POINTER "@Z",
           &f->init);
  found &= Find(library, "?Open@Functionality@@YA_NXZ", &f->open);
  found &= Find(library, "?StartNewTestCase@Functionality@@YA_NXZ",
                &f->startNewTestCase);
  found &= Find(library,
                "?SetTestName@Functionality@@YA_N" OSTRIVEL_CHAR_POINTER "@Z",
                &f->setTestName);
  found &= Find(library, "?GetCurrentPath@Functionality@@YA_NXZ",
                &f->getCurrentPath);
  found &= Find(library, "?GetCollectedInformation@Functionality@@YA_NXZ",
                &f->getCollectedInformation);
  found &= Find(library, "?Close@Functionality@@YA_NXZ", &f->close);
  return found;
}

int Run(const char* libraryPath) {
  HMODULE library = ::LoadLibraryA(libraryPath);
  if (library == nullptr) {
    std::cerr << "ostrivel-harness: cannot load \"" << libraryPath
              << "\" (error " << ::GetLastError() << ")\n";
    return 2;
  }
  Functions f;
  if (!FindAll(library, &f)) {
    ::FreeLibrary(library);
    return 2;
  }

  int status = 0;
  std::string line;
  while (std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::size_t blank = line.find(' ');
    std::string command = line.substr(0, blank);
    std::string argument =
        blank == std::string::npos ? std::string() : line.substr(blank + 1);
    bool result;
    if (command == "Init") {
      result = f.init(argument.c_str());
    } else if (command == "Open") {
      result = f.open();
    } else if (command == "StartNewTestCase") {
      result = f.startNewTestCase();
    } else if (command == "SetTestName") {
      result = f.setTestName(argument.c_str());
    } else if (command == "GetCurrentPath") {
      result = f.getCurrentPath();
    } else if (command == "GetCollectedInformation") {
      result = f.getCollectedInformation();
    } else if (command == "Close") {
      result = f.close();
    } else {
      std::cerr << "ostrivel-harness: unknown command \"" << command << "\"\n";
      status = 3;
      break;
    }
    std::cout << command << (result ? " true" : " false") << std::endl;
  }
  ::FreeLibrary(library);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: ostrivel-harness <path of ostrivel.dll>\n";
    return 2;
  }
  try {
    return Run(argv[1]);
  } catch (...) {
    std::cerr << "ostrivel-harness: unexpected failure\n";
    return 1;
  }
}
