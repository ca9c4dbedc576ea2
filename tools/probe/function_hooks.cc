// Automatic counting for programs built with -finstrument-functions: the
// compiler calls __cyg_profile_func_enter with the address of every
// function that is entered. The method list (OSTRIVEL_METHOD_LIST) gives
// each method line's function as its offset in the executable (the ID
// field, hex), so that at start every listed address is put into a hash
// table with its line position. Each entry then costs a multiplication, a
// load or two from the table and an atomic add: a call-dense program makes
// tens of millions of calls per second, and whatever the hook does is paid
// on each of them.

#include <link.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
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

enum State : int { kUnset, kStarting, kOn, kOff };

// One listed function: its run-time address and its method-list position.
struct Slot {
  std::uintptr_t address;  // 0: an empty slot (no function starts at 0)
  std::uint32_t position;
};

// An open-addressing hash table of the listed functions, at most half full,
// so that a search, found or not, ends after one or two slots on average.
// Written once, before the state becomes kOn, and never changed afterwards.
struct FunctionTable {
  const Slot* slots = nullptr;
  std::size_t mask = 0;  // the number of slots, a power of two, minus 1
  int shift = 64;        // 64 minus the number of bits of an index
  std::uintptr_t low = 0;
  std::uintptr_t high = 0;
  Attachment* attachment = nullptr;
};

// Fibonacci hashing: the top bits of the address times 2^64 / phi. Function
// addresses are multiples of 16 or so, in runs; the multiplication spreads
// such runs over the whole table.
OSTRIVEL_NO_INSTRUMENT inline std::size_t SlotOf(std::uintptr_t address,
                                                 int shift) {
  return static_cast<std::size_t>(
      (static_cast<std::uint64_t>(address) * 0x9E3779B97F4A7C15ULL) >> shift);
}

std::atomic<int> gState{kUnset};
FunctionTable gTable;

OSTRIVEL_NO_INSTRUMENT int TakeFirstObject(dl_phdr_info* info, std::size_t,
                                           void* data) {
  // The first object is the executable: its load bias turns link-time
  // offsets into run-time addresses.
  *static_cast<std::uintptr_t*>(data) = info->dlpi_addr;
  return 1;
}

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

// A list made for another build of the program names functions by offsets
// that may now belong to other functions, or to none: counting against it
// would be wrong without a sign. Lists without a build-ID file (written by
// hand, or before build IDs were recorded) are taken as they are.
OSTRIVEL_NO_INSTRUMENT bool IsStale(const char* listPath) {
  ListBuildId listed = ReadListBuildId(listPath);
  if (!listed.present) return false;
  std::optional<std::string> own = ProgramBuildId();
  if (own && *own == listed.id) return false;
  Warn("the method list \"" + std::string(listPath) +
       "\" is stale: it was made for build ID " +
       (listed.id.empty() ? std::string("(unreadable)") : listed.id) +
       ", this program has " + (own ? "build ID " + *own : "no build ID") +
       " (run ostrivel-methods again)");
  return true;
}

OSTRIVEL_NO_INSTRUMENT State Build() {
  const char* path = std::getenv("OSTRIVEL_METHOD_LIST");
  if (path == nullptr || *path == '\0') return kOff;  // not asked for
  std::string error;
  auto file = formats::ReadMethodListFile(path, &error);
  if (!file) {
    Warn(error);
    return kOff;
  }
  if (IsStale(path)) return kOff;
  std::uintptr_t bias = 0;
  ::dl_iterate_phdr(TakeFirstObject, &bias);
  std::vector<std::pair<std::uintptr_t, std::uint32_t>> entries;
  for (std::size_t i = 0; i < file->lines.size(); ++i) {
    std::uintptr_t offset = 0;
    if (ParseId(file->lines[i], &offset)) {
      entries.emplace_back(bias + offset, static_cast<std::uint32_t>(i));
    }
  }
  if (entries.empty()) {
    Warn("no function IDs in \"" + std::string(path) + "\"");
    return kOff;
  }
  std::string missing = "no counter segment for the application \"" +
                        file->application + "\" on the channel \"" + Channel() +
                        "\" (is ostrivel-service running?)";
  Attachment* attachment = Attach(file->application.c_str());
  if (attachment == nullptr) {
    Warn(missing);
    return kOff;
  }
  tools::SegmentView* view = CurrentView(attachment, Lookup::kNow);
  if (view == nullptr) {
    // A refused segment has had its line already.
    if (!attachment->refusalTold.load()) Warn(missing);
    return kOff;
  }
  if (view->methodCount != file->lines.size()) {
    // The service read another list for this application: positions would
    // not agree.
    Warn("\"" + std::string(path) + "\" has " +
         std::to_string(file->lines.size()) + " methods, the service counts " +
         std::to_string(view->methodCount) + " for \"" + file->application +
         "\"");
    return kOff;
  }
  int bits = 1;
  while ((std::size_t{1} << bits) < 2 * entries.size()) ++bits;
  std::size_t mask = (std::size_t{1} << bits) - 1;
  auto* slots = new Slot[mask + 1]();
  // With no slot filled, low > high keeps every address out.
  std::uintptr_t low = UINTPTR_MAX;
  std::uintptr_t high = 0;
  for (const auto& [address, position] : entries) {
    // No function starts at 0: the hook is never called with that address.
    if (address == 0) continue;
    std::size_t index = SlotOf(address, 64 - bits);
    while (slots[index].address != 0 && slots[index].address != address) {
      index = (index + 1) & mask;
    }
    // Two lines for one address: the first one counts.
    if (slots[index].address == address) continue;
    slots[index] = Slot{address, position};
    low = std::min(low, address);
    high = std::max(high, address);
  }
  gTable.slots = slots;
  gTable.mask = mask;
  gTable.shift = 64 - bits;
  gTable.low = low;
  gTable.high = high;
  gTable.attachment = attachment;
  return kOn;
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

// Counts one entry of the function at "address". REQUIRES: gState is kOn.
OSTRIVEL_NO_INSTRUMENT inline void CountEntry(std::uintptr_t address) {
  if (address < gTable.low || address > gTable.high) return;
  std::size_t index = SlotOf(address, gTable.shift);
  // The table always has an empty slot, so the search ends.
  while (gTable.slots[index].address != address) {
    if (gTable.slots[index].address == 0) return;
    index = (index + 1) & gTable.mask;
  }
  std::uint32_t position = gTable.slots[index].position;
  tools::SegmentView* view =
      CurrentView(gTable.attachment, Lookup::kRateLimited);
  if (view != nullptr && position < view->methodCount) {
    view->counters[position].fetch_add(1, std::memory_order_relaxed);
  }
}

// An entry before the table was set up, which only happens when the probe
// is loaded after the program started. Kept out of the hook, so that the
// hook's usual path saves no registers.
__attribute__((noinline, cold)) OSTRIVEL_NO_INSTRUMENT void EnterBeforeStart(
    std::uintptr_t address) {
  Start();
  if (gState.load(std::memory_order_acquire) == kOn) CountEntry(address);
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
  }
  // Calls that arrive while another thread sets the table up are lost.
}

// GCC calls this at every function's return as well; counting needs only
// the entries. It cannot be left out: -finstrument-functions has no
// entry-only form in GCC, and a program built with it needs both symbols.
// NOLINTNEXTLINE(bugprone-reserved-identifier)
OSTRIVEL_PROBE_API OSTRIVEL_NO_INSTRUMENT void __cyg_profile_func_exit(
    void* /*function*/, void* /*callSite*/) {}

int ostrivel_probe_automatic(void) {
  ostrivel::probe::Start();
  return ostrivel::probe::gState.load(std::memory_order_acquire) ==
                 ostrivel::probe::kOn
             ? 1
             : 0;
}

}  // extern "C"
