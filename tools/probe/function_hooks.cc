// Automatic counting for programs built with -finstrument-functions: the
// compiler calls __cyg_profile_func_enter with the address of every
// function that is entered. OSTRIVEL_METHOD_LIST names one method list, or
// several separated by ':', each for the modules (the executable, shared
// objects) it was made for: "<list>.modules" names them by build ID with
// the offset and line position of each function; without it, the list's
// ID fields are offsets into the module whose build ID "<list>.build-id"
// names, or into the executable. Every listed function of every loaded
// module goes into one hash table by run-time address, with its line
// position and list. Each entry then costs a multiplication, a load or two
// from the table and an atomic add: a call-dense program makes tens of
// millions of calls per second, and whatever the hook does is paid on each
// of them. Modules loaded later are found when an address in no known
// module arrives; unloading one through dlclose rebuilds the table at once,
// so that a module mapped later into the freed range never counts into the
// old one's lines.

#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "formats/method_list_format.h"
#include "ostrivel/probe.h"
#include "tools/probe/attachments.h"
#include "tools/probe/build_id.h"
#include "tools/probe/warnings.h"

#define OSTRIVEL_NO_INSTRUMENT __attribute__((no_instrument_function))

namespace ostrivel::probe {
namespace {

enum State : int { kUnset, kStarting, kOn, kOff, kNoList };

// One listed function: its run-time address, its line position and the
// list that line is in.
struct Slot {
  std::uintptr_t address;  // 0: an empty slot (no function starts at 0)
  std::uint32_t position;
  std::uint32_t list;
};

// The address range of one loaded module.
struct Range {
  std::uintptr_t start;
  std::uintptr_t end;
};

// An open-addressing hash table of the listed functions, at most half full,
// so that a search, found or not, ends after one or two slots on average,
// and the ranges of every module loaded when it was made. Never changed once
// published; a table that is replaced stays allocated, since another thread
// may still be searching it.
struct FunctionTable {
  const Slot* slots = nullptr;
  std::size_t mask = 0;  // the number of slots, a power of two, minus 1
  int shift = 64;        // 64 minus the number of bits of an index
  std::uintptr_t low = 0;
  std::uintptr_t high = 0;
  // The list of every slot when they all have one (the usual case): the
  // segment's view is then looked up without waiting for the slot.
  Attachment* single = nullptr;
  // The executable's range, checked before the others.
  Range first{0, 0};
  std::vector<Range> ranges;
  // The table this one replaced, kept reachable (see above).
  const FunctionTable* previous = nullptr;
};

// A module that a list was made for.
struct ListedModule {
  std::optional<std::string> buildId;  // nothing: found otherwise (below)
  std::string fileName;                // from a module table; may be empty
  bool program = false;
  // (offset, line position) of each function.
  std::vector<std::pair<std::uintptr_t, std::uint32_t>> functions;
  bool staleTold = false;
};

// One list of OSTRIVEL_METHOD_LIST whose segment was found at start.
struct CountedList {
  std::string path;
  bool fromTable = false;  // its modules come from "<list>.modules"
  std::vector<ListedModule> modules;
};

constexpr std::size_t kMaxLists = 64;

// Fibonacci hashing: the top bits of the address times 2^64 / phi. Function
// addresses are multiples of 16 or so, in runs; the multiplication spreads
// such runs over the whole table.
OSTRIVEL_NO_INSTRUMENT inline std::size_t SlotOf(std::uintptr_t address,
                                                 int shift) {
  return static_cast<std::size_t>(
      (static_cast<std::uint64_t>(address) * 0x9E3779B97F4A7C15ULL) >> shift);
}

std::atomic<int> gState{kUnset};
// The table made at start, at a fixed address, so that the hook reaches its
// fields without first loading a pointer; and, once the modules were looked
// at again (after dlopen or dlclose), the latest table.
FunctionTable gStartTable;
std::atomic<const FunctionTable*> gTable{&gStartTable};
std::atomic<bool> gRescanned{false};
// Written before the state becomes kOn and only read afterwards, but for
// the told flags, which only change under gScanMutex.
std::vector<CountedList>* gLists = nullptr;
Attachment* gAttachments[kMaxLists];
// Serialises the scans of the loaded modules.
std::mutex gScanMutex;
// The loader's counts of loads and unloads when the table was made.
std::atomic<unsigned long long> gGeneration{0};

// The ID field of a method line as an offset: hex digits, "0x" allowed.
OSTRIVEL_NO_INSTRUMENT bool ParseId(const std::string& line,
                                    std::uintptr_t* offset) {
  std::string id = line.substr(0, line.find(';'));
  std::size_t start = id.rfind("0x", 0) == 0 || id.rfind("0X", 0) == 0 ? 2 : 0;
  if (id.size() == start || id.size() - start > 16) return false;
  std::uintptr_t value = 0;
  for (std::size_t i = start; i < id.size(); ++i) {
    char c = id[i];
    int digit = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : -1;
    if (digit < 0) return false;
    value = value * 16 + static_cast<std::uintptr_t>(digit);
  }
  *offset = value;
  return true;
}

OSTRIVEL_NO_INSTRUMENT void Warn(const std::string& reason) {
  WarnCountingOff(reason);
}

OSTRIVEL_NO_INSTRUMENT std::string Quoted(const std::string& text) {
  return "\"" + text + "\"";
}

// The module table of "path" (tools/methods/module_table.h) into "*list".
// Lines it does not know are skipped; positions past "methodCount" too.
OSTRIVEL_NO_INSTRUMENT bool ParseModuleTable(const std::string& text,
                                             std::uint64_t methodCount,
                                             CountedList* list) {
  std::size_t at = 0;
  bool headed = false;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    if (!headed) {
      if (line != "ostrivel-modules 1") return false;
      headed = true;
      continue;
    }
    if (line.rfind("module ", 0) == 0) {
      // module <program|library> <build ID|-> <file name>
      std::size_t kindEnd = line.find(' ', 7);
      std::size_t idEnd = kindEnd == std::string::npos
                              ? std::string::npos
                              : line.find(' ', kindEnd + 1);
      if (idEnd == std::string::npos) return false;
      ListedModule module;
      module.program = line.compare(7, kindEnd - 7, "program") == 0;
      std::string id = line.substr(kindEnd + 1, idEnd - kindEnd - 1);
      if (id != "-") module.buildId = id;
      module.fileName = line.substr(idEnd + 1);
      list->modules.push_back(std::move(module));
      continue;
    }
    std::size_t space = line.find(' ');
    std::uintptr_t offset = 0;
    if (list->modules.empty() || space == std::string::npos ||
        !ParseId(line.substr(0, space), &offset)) {
      continue;
    }
    char* rest = nullptr;
    unsigned long long position =
        std::strtoull(line.c_str() + space + 1, &rest, 10);
    if (rest == line.c_str() + space + 1 || position >= methodCount) continue;
    list->modules.back().functions.emplace_back(
        offset, static_cast<std::uint32_t>(position));
  }
  return headed;
}

// Whether "listed", a module of "list", is the loaded "module".
OSTRIVEL_NO_INSTRUMENT bool IsModule(const CountedList& list,
                                     const ListedModule& listed,
                                     const LoadedModule& module) {
  if (listed.buildId) return module.buildId == listed.buildId;
  if (!list.fromTable) return module.executable;
  if (!listed.program) return module.fileName == listed.fileName;
  // A program without build ID is taken for the executable when it is the
  // list's only program.
  return module.executable &&
         std::count_if(list.modules.begin(), list.modules.end(),
                       [](const ListedModule& m) { return m.program; }) == 1;
}

OSTRIVEL_NO_INSTRUMENT std::string StaleLine(const std::string& path,
                                             const ListedModule& listed,
                                             const LoadedModule& module) {
  std::string made = listed.buildId ? *listed.buildId : std::string();
  std::string has = module.buildId ? "build ID " + *module.buildId
                                   : std::string("no build ID");
  if (module.executable) {
    return "the method list " + Quoted(path) + " is stale: it was made for " +
           "build ID " + (made.empty() ? std::string("(unreadable)") : made) +
           ", this program has " + has + " (run ostrivel-methods again)";
  }
  return "the method list " + Quoted(path) + " is stale for " +
         Quoted(module.fileName) + ": it was made for build ID " + made +
         ", the loaded file has " + has + " (run ostrivel-methods again)";
}

// Makes the table of the modules loaded now and publishes it. REQUIRES:
// gScanMutex is held.
OSTRIVEL_NO_INSTRUMENT void Scan() {
  std::vector<LoadedModule> modules = LoadedModules();
  std::vector<Slot> entries;
  auto table = std::make_unique<FunctionTable>();
  for (const LoadedModule& module : modules) {
    table->ranges.push_back(Range{module.start, module.end});
    for (std::size_t l = 0; l < gLists->size(); ++l) {
      CountedList& list = (*gLists)[l];
      auto found = std::find_if(list.modules.begin(), list.modules.end(),
                                [&](const ListedModule& listed) {
                                  return IsModule(list, listed, module);
                                });
      if (found != list.modules.end()) {
        for (const auto& [offset, position] : found->functions) {
          entries.push_back(Slot{module.bias + offset, position,
                                 static_cast<std::uint32_t>(l)});
        }
        continue;
      }
      // A loaded file of a listed name but of another build.
      for (ListedModule& listed : list.modules) {
        if (listed.buildId && !listed.staleTold && !listed.fileName.empty() &&
            listed.fileName == module.fileName &&
            (listed.program == module.executable)) {
          listed.staleTold = true;
          Warn(StaleLine(list.path, listed, module));
        }
      }
    }
  }
  int bits = 1;
  while ((std::size_t{1} << bits) < 2 * entries.size()) ++bits;
  std::size_t mask = (std::size_t{1} << bits) - 1;
  auto* slots = new Slot[mask + 1]();
  // With no slot filled, low > high keeps every address out.
  std::uintptr_t low = UINTPTR_MAX;
  std::uintptr_t high = 0;
  for (const Slot& entry : entries) {
    // No function starts at 0: the hook is never called with that address.
    if (entry.address == 0) continue;
    std::size_t index = SlotOf(entry.address, 64 - bits);
    while (slots[index].address != 0 && slots[index].address != entry.address) {
      index = (index + 1) & mask;
    }
    // Two lines for one address: the first one counts.
    if (slots[index].address == entry.address) continue;
    slots[index] = entry;
    low = std::min(low, entry.address);
    high = std::max(high, entry.address);
  }
  bool oneList = std::all_of(
      entries.begin(), entries.end(),
      [&](const Slot& e) { return e.list == entries.front().list; });
  if (!entries.empty() && oneList)
    table->single = gAttachments[entries[0].list];
  if (!table->ranges.empty()) table->first = table->ranges.front();
  table->slots = slots;
  table->mask = mask;
  table->shift = 64 - bits;
  table->low = low;
  table->high = high;
  if (gState.load(std::memory_order_acquire) != kOn) {
    // At start, before any hook reads it.
    gStartTable = std::move(*table);
    return;
  }
  table->previous = gTable.load(std::memory_order_relaxed);
  gTable.store(table.release(), std::memory_order_release);
  gRescanned.store(true, std::memory_order_release);
}

OSTRIVEL_NO_INSTRUMENT int ReadGeneration(dl_phdr_info* info, std::size_t size,
                                          void* data) {
  // The loader's counters come after the original four fields.
  if (size >= offsetof(dl_phdr_info, dlpi_subs) + sizeof info->dlpi_subs) {
    *static_cast<unsigned long long*>(data) = info->dlpi_adds + info->dlpi_subs;
  }
  return 1;
}

OSTRIVEL_NO_INSTRUMENT unsigned long long LoaderGeneration() {
  unsigned long long generation = 0;
  ::dl_iterate_phdr(ReadGeneration, &generation);
  return generation;
}

// Rescans when the loader loaded or unloaded anything since the table was
// made.
OSTRIVEL_NO_INSTRUMENT void RescanIfChanged(bool always) {
  std::lock_guard<std::mutex> lock(gScanMutex);
  unsigned long long generation = LoaderGeneration();
  if (!always && generation == gGeneration.load(std::memory_order_relaxed)) {
    return;
  }
  gGeneration.store(generation, std::memory_order_relaxed);
  Scan();
}

// One list of OSTRIVEL_METHOD_LIST, attached to its segment, into
// "*lists"; a list that cannot be counted is told and left out.
OSTRIVEL_NO_INSTRUMENT void AddList(const std::string& path,
                                    std::vector<CountedList>* lists) {
  std::string error;
  auto file = formats::ReadMethodListFile(path, &error);
  if (!file) {
    Warn(error);
    return;
  }
  CountedList list;
  list.path = path;
  std::optional<std::string> table = ReadModuleTableText(path);
  if (table) {
    list.fromTable = true;
    if (!ParseModuleTable(*table, file->lines.size(), &list)) {
      Warn("the module table " + Quoted(path + ".modules") +
           " cannot be read (run ostrivel-methods again)");
      return;
    }
  } else {
    ListedModule listed;
    ListBuildId id = ReadListBuildId(path);
    if (id.present) listed.buildId = id.id;
    for (std::size_t i = 0; i < file->lines.size(); ++i) {
      std::uintptr_t offset = 0;
      if (ParseId(file->lines[i], &offset)) {
        listed.functions.emplace_back(offset, static_cast<std::uint32_t>(i));
      }
    }
    if (listed.functions.empty()) {
      Warn("no function IDs in " + Quoted(path));
      return;
    }
    // A list made for another build of the program names functions by
    // offsets that may now belong to other functions, or to none: counting
    // against it would be wrong without a sign. Lists without a build-ID
    // file (written by hand, or before build IDs were recorded) are taken
    // as they are.
    if (listed.buildId) {
      std::vector<LoadedModule> modules = LoadedModules();
      bool loaded = std::any_of(
          modules.begin(), modules.end(),
          [&](const LoadedModule& m) { return m.buildId == listed.buildId; });
      if (!loaded && !modules.empty()) {
        Warn(StaleLine(path, listed, modules.front()));
        return;
      }
    }
    list.modules.push_back(std::move(listed));
  }
  std::string missing = "no counter segment for the application \"" +
                        file->application + "\" on the channel \"" + Channel() +
                        "\" (is ostrivel-service running?)";
  Attachment* attachment = Attach(file->application.c_str());
  if (attachment == nullptr) {
    Warn(missing);
    return;
  }
  tools::SegmentView* view = CurrentView(attachment, Lookup::kNow);
  if (view == nullptr) {
    // A refused segment has had its line already.
    if (!attachment->refusalTold.load()) Warn(missing);
    return;
  }
  if (view->methodCount != file->lines.size()) {
    // The service read another list for this application: positions would
    // not agree.
    Warn(Quoted(path) + " has " + std::to_string(file->lines.size()) +
         " methods, the service counts " + std::to_string(view->methodCount) +
         " for \"" + file->application + "\"");
    return;
  }
  if (lists->size() == kMaxLists) {
    Warn("more than " + std::to_string(kMaxLists) +
         " method lists: " + Quoted(path) + " is not counted");
    return;
  }
  gAttachments[lists->size()] = attachment;
  lists->push_back(std::move(list));
}

OSTRIVEL_NO_INSTRUMENT State Build() {
  const char* paths = std::getenv("OSTRIVEL_METHOD_LIST");
  // Not asked for: said at the first instrumented call, if at all.
  if (paths == nullptr || *paths == '\0') return kNoList;
  auto lists = std::make_unique<std::vector<CountedList>>();
  std::string text = paths;
  std::size_t at = 0;
  while (at <= text.size()) {
    std::size_t end = std::min(text.find(':', at), text.size());
    if (end > at) AddList(text.substr(at, end - at), lists.get());
    at = end + 1;
  }
  if (lists->empty()) return kOff;
  gLists = lists.release();
  std::lock_guard<std::mutex> lock(gScanMutex);
  gGeneration.store(LoaderGeneration(), std::memory_order_relaxed);
  Scan();
  // Counting stays on while a listed module may still be loaded.
  bool waiting = false;
  for (const CountedList& list : *gLists) {
    for (const ListedModule& listed : list.modules) {
      waiting = waiting || (list.fromTable && !listed.program);
    }
  }
  const FunctionTable* table = &gStartTable;
  return table->low <= table->high || waiting ? kOn : kOff;
}

OSTRIVEL_NO_INSTRUMENT void Start() {
  int expected = kUnset;
  if (!gState.compare_exchange_strong(expected, kStarting)) return;
  State outcome = kOff;
  try {
    outcome = Build();
  } catch (...) {
    Warn("out of memory");
  }
  gState.store(outcome, std::memory_order_release);
}

// At load, before the program's own constructors run.
__attribute__((constructor)) OSTRIVEL_NO_INSTRUMENT void StartAtLoad() {
  Start();
}

OSTRIVEL_NO_INSTRUMENT inline const FunctionTable* CurrentTable() {
  if (!gRescanned.load(std::memory_order_acquire)) return &gStartTable;
  return gTable.load(std::memory_order_acquire);
}

// Counts one entry of the function at "address" when "table" lists it.
OSTRIVEL_NO_INSTRUMENT inline bool CountListed(std::uintptr_t address,
                                               const FunctionTable* table) {
  if (address < table->low || address > table->high) return false;
  std::size_t index = SlotOf(address, table->shift);
  // The table always has an empty slot, so the search ends.
  while (table->slots[index].address != address) {
    if (table->slots[index].address == 0) return false;
    index = (index + 1) & table->mask;
  }
  const Slot& slot = table->slots[index];
  Attachment* attachment =
      table->single != nullptr ? table->single : gAttachments[slot.list];
  tools::SegmentView* view = CurrentView(attachment, Lookup::kRateLimited);
  if (view != nullptr && slot.position < view->methodCount) {
    view->counters[slot.position].fetch_add(1, std::memory_order_relaxed);
  }
  return true;
}

// An address that is no listed function: one of a module loaded since the
// table was made finds the table made anew, and is counted in it.
__attribute__((noinline, cold)) OSTRIVEL_NO_INSTRUMENT void NotListed(
    std::uintptr_t address, const FunctionTable* table) {
  for (const Range& range : table->ranges) {
    if (address >= range.start && address < range.end) return;
  }
  try {
    RescanIfChanged(false);
  } catch (...) {
    // Out of memory: the old table stays.
  }
  const FunctionTable* current = CurrentTable();
  if (current != table) CountListed(address, current);
}

// Counts one entry of the function at "address". REQUIRES: gState is kOn.
OSTRIVEL_NO_INSTRUMENT inline void CountEntry(std::uintptr_t address) {
  const FunctionTable* table = CurrentTable();
  if (CountListed(address, table)) return;
  // Unlisted functions of the executable are the common case.
  if (address - table->first.start < table->first.end - table->first.start) {
    return;
  }
  NotListed(address, table);
}

// The first entry of an instrumented function while OSTRIVEL_METHOD_LIST is
// not set. A program linked with the probe runs outside coverage runs too,
// and then says nothing; but while a service counts on the channel, a
// missing list would make every row 0 % without a sign.
__attribute__((noinline, cold)) OSTRIVEL_NO_INSTRUMENT void EnterWithoutList() {
  int expected = kNoList;
  if (!gState.compare_exchange_strong(expected, kOff)) return;
  try {
    if (AnySegmentOnChannel()) {
      Warn(
          "OSTRIVEL_METHOD_LIST is not set (set it to the program's method "
          "list written by ostrivel-methods)");
    }
  } catch (...) {
    // Out of memory: nothing to say it with.
  }
}

// An entry before the table was set up, which only happens when the probe
// is loaded after the program started. Kept out of the hook, so that the
// hook's usual path saves no registers.
__attribute__((noinline, cold)) OSTRIVEL_NO_INSTRUMENT void EnterBeforeStart(
    std::uintptr_t address) {
  Start();
  int state = gState.load(std::memory_order_acquire);
  if (state == kOn) {
    CountEntry(address);
  } else if (state == kNoList) {
    EnterWithoutList();
  }
}

// After dlclose: the table must no longer hold the functions of a module
// that is gone, as another may be loaded into its range.
OSTRIVEL_NO_INSTRUMENT void AfterUnload() {
  if (gState.load(std::memory_order_acquire) != kOn) return;
  try {
    RescanIfChanged(true);
  } catch (...) {
    // Out of memory: the old table stays.
  }
}

}  // namespace
}  // namespace ostrivel::probe

extern "C" {

// The names are the compiler's: NOLINTNEXTLINE(bugprone-reserved-identifier)
OSTRIVEL_PROBE_API OSTRIVEL_NO_INSTRUMENT void __cyg_profile_func_enter(
    void* function, void* /*callSite*/) {
  auto address = reinterpret_cast<std::uintptr_t>(function);
  int state = ostrivel::probe::gState.load(std::memory_order_acquire);
  if (state == ostrivel::probe::kOn) {
    ostrivel::probe::CountEntry(address);
  } else if (state == ostrivel::probe::kUnset) {
    ostrivel::probe::EnterBeforeStart(address);
  } else if (state == ostrivel::probe::kNoList) {
    ostrivel::probe::EnterWithoutList();
  }
  // Calls that arrive while another thread sets the table up are lost.
}

// GCC calls this at every function's return as well; counting needs only
// the entries. It cannot be left out: -finstrument-functions has no
// entry-only form in GCC, and a program built with it needs both symbols.
// NOLINTNEXTLINE(bugprone-reserved-identifier)
OSTRIVEL_PROBE_API OSTRIVEL_NO_INSTRUMENT void __cyg_profile_func_exit(
    void* /*function*/, void* /*callSite*/) {}

// The program's own dlclose, so that the table is made anew right after a
// module is unloaded (see AfterUnload()).
OSTRIVEL_PROBE_API OSTRIVEL_NO_INSTRUMENT int dlclose(void* handle) noexcept {
  using Close = int (*)(void*);
  static const auto real =
      reinterpret_cast<Close>(::dlsym(RTLD_NEXT, "dlclose"));
  if (real == nullptr) return -1;
  int result = real(handle);
  ostrivel::probe::AfterUnload();
  return result;
}

int ostrivel_probe_automatic(void) {
  ostrivel::probe::Start();
  return ostrivel::probe::gState.load(std::memory_order_acquire) ==
                 ostrivel::probe::kOn
             ? 1
             : 0;
}

}  // extern "C"
