#ifndef OSTRIVEL_TOOLS_SLOTS_SLOTS_H_
#define OSTRIVEL_TOOLS_SLOTS_SLOTS_H_

// The slots of a collection service started with --slots N: what a harness
// and the programs it runs need to count into slot i instead of into the
// plain channel, so that several tests can run side by side.
//
// Slot i of a service on channel C listens on a port of its own and counts
// on the channel "C.i": the probe's programs count into it with
// OSTRIVEL_CHANNEL=C.i, the clang route's with the LLVM_PROFILE_FILE of
// their application on that channel.

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ostrivel::slots {

using Environment = std::vector<std::pair<std::string, std::string>>;

struct Slot {
  int index = 0;
  std::string host;
  int port = 0;
};

// Reads the file the service writes with --ports-file: one "<i> <host>
// <port>" line per slot, in slot order from 0. Returns false with a message
// naming the file and the line when it cannot be read or a line is not of
// that form.
bool ReadPortsFile(const std::string& path, std::vector<Slot>* slots,
                   std::string* error);

// "channel.index", the channel of slot "index".
std::string SlotChannel(const std::string& channel, int index);

// The variables with which a program counts into slot "index" of the
// service on "channel": OSTRIVEL_CHANNEL, and, when the program would run
// with "profileFile" as LLVM_PROFILE_FILE, the slot's value of it. The
// clang route's profile file names the application, so it is matched
// against the applications of the method lists in "methodsDirectory" on
// "channel". Returns false with a message when "profileFile" belongs to no
// application of the directory.
bool SlotCountingEnvironment(const std::string& channel, int index,
                             const std::optional<std::string>& profileFile,
                             const std::string& methodsDirectory,
                             Environment* environment, std::string* error);

// Writes to "output" the configuration "config" as the library reads it,
// followed by "key: value" lines for "overrides" (host_name, port, ...),
// which win because the library keeps a key's last value. Writes to a
// temporary name and renames it. Returns false with a message on failure.
bool WriteSlotConfig(const std::string& config, const Environment& overrides,
                     const std::string& output, std::string* error);

// The log file of slot "index" beside "logPath": "log.txt" becomes
// "log.slot1.txt", a name without extension gets ".slot1".
std::string SlotLogPath(const std::string& logPath, int index);

}  // namespace ostrivel::slots

#endif  // OSTRIVEL_TOOLS_SLOTS_SLOTS_H_
