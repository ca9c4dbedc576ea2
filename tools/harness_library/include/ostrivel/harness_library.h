#ifndef OSTRIVEL_HARNESS_LIBRARY_H_
#define OSTRIVEL_HARNESS_LIBRARY_H_

// Loads libostrivel.so at run time, the way a test harness does, and gives
// its seven exported functions a typed face. Header-only; needs -ldl where
// the C library does not provide dlopen itself.
//
//   std::string error;
//   auto library = ostrivel::HarnessLibrary::Load("libostrivel.so", &error);
//   if (library == nullptr) { ... error ... }
//   library->Init("ostrivel.conf");
//   library->Open();
//   ...
//
// The functions must be called from one thread at a time, in the order the
// library documents (Init, Open, then per test SetTestName,
// StartNewTestCase, GetCollectedInformation, finally Close).

#include <dlfcn.h>
#include <link.h>

#include <memory>
#include <string>
#include <utility>

namespace ostrivel {

class HarnessLibrary {
 public:
  // The exported names: the functions keep their C++ linkage, so a harness
  // finds them by their mangled names.
  static constexpr const char* kInitSymbol = "_ZN13Functionality4InitEPKc";
  static constexpr const char* kOpenSymbol = "_ZN13Functionality4OpenEv";
  static constexpr const char* kStartNewTestCaseSymbol =
      "_ZN13Functionality16StartNewTestCaseEv";
  static constexpr const char* kSetTestNameSymbol =
      "_ZN13Functionality11SetTestNameEPKc";
  static constexpr const char* kGetCurrentPathSymbol =
      "_ZN13Functionality14GetCurrentPathEv";
  static constexpr const char* kGetCollectedInformationSymbol =
      "_ZN13Functionality23GetCollectedInformationEv";
  static constexpr const char* kCloseSymbol = "_ZN13Functionality5CloseEv";

  // Loads the library at "path" (a name without "/" goes through the
  // dynamic linker's search path) and looks up all seven functions.
  // Returns null and stores the reason in "*error" when the library cannot
  // be loaded or lacks one of them.
  static std::unique_ptr<HarnessLibrary> Load(const std::string& path,
                                              std::string* error) {
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      const char* reason = ::dlerror();
      *error = reason != nullptr ? reason : "cannot load " + path;
      return nullptr;
    }
    std::unique_ptr<HarnessLibrary> library(new HarnessLibrary(handle, path));
    bool complete =
        library->Find(kInitSymbol, &library->init_, error) &&
        library->Find(kOpenSymbol, &library->open_, error) &&
        library->Find(kStartNewTestCaseSymbol, &library->startNewTestCase_,
                      error) &&
        library->Find(kSetTestNameSymbol, &library->setTestName_, error) &&
        library->Find(kGetCurrentPathSymbol, &library->getCurrentPath_,
                      error) &&
        library->Find(kGetCollectedInformationSymbol,
                      &library->getCollectedInformation_, error) &&
        library->Find(kCloseSymbol, &library->close_, error);
    if (!complete) return nullptr;
    return library;
  }

  // Unloads the library. Its functions must not be running.
  ~HarnessLibrary() { ::dlclose(handle_); }

  HarnessLibrary(const HarnessLibrary&) = delete;
  HarnessLibrary& operator=(const HarnessLibrary&) = delete;

  // The path the library was loaded from, as given to Load().
  const std::string& path() const { return path_; }

  // The file the dynamic linker loaded, as it found it (also for a bare
  // name that went through the search path), or "" when it does not say.
  std::string LoadedFile() const {
    struct link_map* map = nullptr;
    if (::dlinfo(handle_, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr ||
        map->l_name == nullptr) {
      return "";
    }
    return map->l_name;
  }

  // "configPath" and "name" must not be null.
  bool Init(const char* configPath) const { return init_(configPath); }
  bool Open() const { return open_(); }
  bool StartNewTestCase() const { return startNewTestCase_(); }
  bool SetTestName(const char* name) const { return setTestName_(name); }
  bool GetCurrentPath() const { return getCurrentPath_(); }
  bool GetCollectedInformation() const { return getCollectedInformation_(); }
  bool Close() const { return close_(); }

 private:
  using Action = bool (*)();
  using TextAction = bool (*)(const char*);

  HarnessLibrary(void* handle, std::string path)
      : handle_(handle), path_(std::move(path)) {}

  template <typename Function>
  bool Find(const char* symbol, Function* function, std::string* error) {
    ::dlerror();
    void* address = ::dlsym(handle_, symbol);
    if (address == nullptr) {
      *error = path_ + " does not export " + symbol;
      return false;
    }
    // POSIX guarantees that a data pointer from dlsym converts to a function
    // pointer.
    *function = reinterpret_cast<Function>(address);
    return true;
  }

  void* handle_;
  std::string path_;
  TextAction init_ = nullptr;
  Action open_ = nullptr;
  Action startNewTestCase_ = nullptr;
  TextAction setTestName_ = nullptr;
  Action getCurrentPath_ = nullptr;
  Action getCollectedInformation_ = nullptr;
  Action close_ = nullptr;
};

}  // namespace ostrivel

#endif  // OSTRIVEL_HARNESS_LIBRARY_H_
