#include "tools/runner/slot_plan.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>

#include "formats/config_format.h"
#include "formats/defaults.h"
#include "formats/result_format.h"

namespace ostrivel::runner {

namespace {

std::optional<std::string> Lookup(const slots::Environment& environment,
                                  const std::string& name) {
  std::optional<std::string> value;
  for (const auto& [key, text] : environment) {
    if (key == name) value = text;
  }
  if (!value) {
    const char* inherited = std::getenv(name.c_str());
    if (inherited != nullptr) value = inherited;
  }
  return value;
}

}  // namespace

bool PlanSlots(const SlotPlanInput& input, std::vector<SlotHarness>* harnesses,
               std::string* error) {
  harnesses->clear();
  namespace fs = std::filesystem;
  using formats::ReadConfigValue;
  std::string log = ReadConfigValue(input.configPath, "log_location")
                        .value_or(formats::DefaultPath(formats::kLogFileName));
  std::string methods =
      ReadConfigValue(input.configPath, "methods_location")
          .value_or(formats::DefaultPath(formats::kMethodsFolderName));
  std::optional<std::string> profileFile =
      Lookup(input.environment, "LLVM_PROFILE_FILE");

  for (const slots::Slot& slot : input.slots) {
    SlotHarness harness;
    harness.name = "slot " + std::to_string(slot.index) + " (" + slot.host +
                   ":" + std::to_string(slot.port) + ")";
    std::string prefix =
        (fs::path(input.folder) / ("slot" + std::to_string(slot.index)))
            .string();
    harness.resultPath = prefix + ".result.csv";
    harness.configPath = prefix + ".conf";
    {
      std::ofstream result(harness.resultPath,
                           std::ios::binary | std::ios::trunc);
      result << formats::kResultHeader << "\r\n";
      if (!result.flush()) {
        *error = "cannot write \"" + harness.resultPath + "\"";
        return false;
      }
    }
    if (!slots::WriteSlotConfig(
            input.configPath,
            {{"host_name", slot.host},
             {"port", std::to_string(slot.port)},
             {"log_location", slots::SlotLogPath(log, slot.index)},
             {"res_location", harness.resultPath}},
            harness.configPath, error)) {
      return false;
    }
    slots::Environment counting;
    if (!slots::SlotCountingEnvironment(input.channel, slot.index, profileFile,
                                        methods, &counting, error)) {
      return false;
    }
    harness.options = input.options;
    harness.options.command.environment = input.environment;
    harness.options.command.environment.insert(
        harness.options.command.environment.end(), counting.begin(),
        counting.end());
    harnesses->push_back(std::move(harness));
  }
  return true;
}

}  // namespace ostrivel::runner
