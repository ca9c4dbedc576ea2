#include "tools/slots/slots.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "formats/config_format.h"
#include "formats/method_catalog.h"
#include "tools/llvm_profile/profile_files.h"
#include "tools/printable/printable.h"

namespace ostrivel::slots {

namespace {

using tools::Printable;

std::string Quoted(const std::string& text) {
  std::ostringstream quoted;
  quoted << '"' << Printable(text) << '"';
  return quoted.str();
}

}  // namespace

bool ReadPortsFile(const std::string& path, std::vector<Slot>* slots,
                   std::string* error) {
  slots->clear();
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    *error = "cannot read the ports file " + Quoted(path);
    return false;
  }
  std::string line;
  int number = 0;
  while (std::getline(file, line)) {
    ++number;
    std::istringstream words(line);
    Slot slot;
    std::string rest;
    if (!(words >> slot.index >> slot.host >> slot.port) || (words >> rest) ||
        slot.index != static_cast<int>(slots->size()) || slot.port <= 0 ||
        slot.port > 65535) {
      *error = "the ports file " + Quoted(path) + ", line " +
               std::to_string(number) + ", is not \"" +
               std::to_string(slots->size()) +
               " <host> <port>\": " + Quoted(line);
      return false;
    }
    slots->push_back(slot);
  }
  if (slots->empty()) {
    *error = "the ports file " + Quoted(path) + " names no slot";
    return false;
  }
  return true;
}

std::string SlotChannel(const std::string& channel, int index) {
  return channel + "." + std::to_string(index);
}

bool SlotCountingEnvironment(const std::string& channel, int index,
                             const std::optional<std::string>& profileFile,
                             const std::string& methodsDirectory,
                             Environment* environment, std::string* error) {
  environment->clear();
  environment->emplace_back("OSTRIVEL_CHANNEL", SlotChannel(channel, index));
  if (!profileFile || profileFile->empty()) return true;
  formats::MethodCatalog catalog;
  std::string listError;
  if (formats::LoadMethodCatalog(methodsDirectory, &catalog, &listError)) {
    for (const auto& [application, lines] : catalog.applications) {
      std::string onChannel = llvm_profile::ProfileFilePattern(
          llvm_profile::ProfileDirectoryPath(channel, application));
      if (onChannel == *profileFile) {
        environment->emplace_back(
            "LLVM_PROFILE_FILE",
            llvm_profile::ProfileFilePattern(llvm_profile::ProfileDirectoryPath(
                SlotChannel(channel, index), application)));
        return true;
      }
    }
  }
  *error = "LLVM_PROFILE_FILE=" + Printable(*profileFile) +
           " is the profile file of no application of the method lists in " +
           Quoted(methodsDirectory) + " on the channel " + Quoted(channel) +
           ": it cannot be moved to a slot's channel (run ostrivel-methods "
           "--channel " +
           Printable(channel) + " and use the LLVM_PROFILE_FILE it prints)";
  return false;
}

bool WriteSlotConfig(const std::string& config, const Environment& overrides,
                     const std::string& output, std::string* error) {
  std::string text;
  // Lines as the library sees them: what it would not read stays out.
  formats::ReadConfigLines(config, [&text](const std::string& line) {
    text += line;
    text += '\n';
  });
  for (const auto& [key, value] : overrides) {
    text.append(key).append(": ").append(value).append("\n");
  }
  std::string temporary = output + ".tmp";
  {
    std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
    file << text;
    if (!file.flush()) {
      *error = "cannot write " + Quoted(temporary);
      return false;
    }
  }
  std::error_code renameError;
  std::filesystem::rename(temporary, output, renameError);
  if (renameError) {
    *error = "cannot rename " + Quoted(temporary) + " to " + Quoted(output) +
             ": " + renameError.message();
    return false;
  }
  return true;
}

std::string SlotLogPath(const std::string& logPath, int index) {
  std::filesystem::path path(logPath);
  std::string slot = ".slot" + std::to_string(index);
  std::filesystem::path extension = path.extension();
  if (extension.empty()) return logPath + slot;
  std::string stem =
      logPath.substr(0, logPath.size() - extension.native().size());
  return stem + slot + extension.string();
}

}  // namespace ostrivel::slots
