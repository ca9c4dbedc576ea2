#include "config/config_reader.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "coverage/method_list.h"
#include "formats/config_format.h"
#include "formats/method_list_format.h"
#include "log/log.h"
#include "platform/integer.h"
#include "platform/operations.h"

namespace ostrivel::config {
namespace {

using log::LogLevel;
using log::WriteLog;

constexpr const char* kNoMethodsLocation = "No method's location found!";

// Logs "New <label>: "<value>"" at level 0.
void LogNewValue(std::string_view label, const std::string& value) {
  WriteLog(LogLevel::Debug, "New ", label, ": \"", value, "\"");
}

// A time-out has no use for a negative value; such a value waits without
// limit, as 0 does.
std::int32_t ToTimeoutMs(const std::string& value) {
  return std::max<std::int32_t>(platform::ToInt32(value), 0);
}

}  // namespace

void ReadConfiguration(const char* configPath, Settings& settings,
                       coverage::MethodLists& methodLists) {
  // Each line is applied as it is read. The reader stops where the file
  // ended when it was opened, so that a log_location naming this very file
  // never has its debug lines read back as configuration lines. A null path
  // is a harness fault; it is treated like a file that cannot be opened
  // rather than read through.
  bool read =
      configPath != nullptr &&
      formats::ReadConfigLines(configPath, [&](const std::string& line) {
        ApplyOption(ParseLine(line), settings);
      });
  if (!read) {
    platform::Current().showWarning(
        "Configuration",
        "Unable to open config-file!\nDefault configurations used.");
  }
  ScanMethodsDirectory(settings.methods_location, methodLists);
}

Option ParseLine(const std::string& line) {
  WriteLog(LogLevel::Debug, "ParseLine method. (line: ", line, ")");
  formats::OptionText option = formats::SplitOptionLine(line);
  // The value is trimmed first, so that its log line comes first.
  std::string value = Cutting(std::string(option.value));
  std::string key = Cutting(std::string(option.key));
  return {std::move(key), std::move(value)};
}

std::string Cutting(const std::string& text) {
  WriteLog(LogLevel::Debug, "Cutting. (base string: ", text, ")");
  return std::string(formats::TrimBlanks(text));
}

void ApplyOption(const Option& option, Settings& settings) {
  const auto& [key, value] = option;
  // Each line is logged before the setting changes: the log_level line is
  // filtered by the old threshold and the log_location line goes to the old
  // file.
  if (key == "base_location") {
    LogNewValue("base_location", value);
    settings.base_location = value;
  } else if (key == "log_location") {
    LogNewValue("log_location", value);
    settings.log_location = value;
  } else if (key == "methods") {
    LogNewValue("methods value", value);
    settings.methods = value;
  } else if (key == "res_location") {
    LogNewValue("res_location", value);
    settings.res_location = value;
  } else if (key == "methods_location") {
    LogNewValue("methods_location", value);
    settings.methods_location = value;
  } else if (key == "host_name") {
    LogNewValue("host_name", value);
    settings.host_name = value;
  } else if (key == "port") {
    LogNewValue("port", value);
    settings.port = platform::ToInt32(value);
  } else if (key == "application_list") {
    // Recognised and without effect.
  } else if (key == "log_level") {
    LogNewValue("log_level", value);
    if (value == "debug") {
      settings.log_level = static_cast<int>(LogLevel::Debug);
    } else if (value == "error") {
      settings.log_level = static_cast<int>(LogLevel::Error);
    }
  } else if (key == "connect_timeout_ms") {
    LogNewValue("connect_timeout_ms", value);
    settings.connect_timeout_ms = ToTimeoutMs(value);
  } else if (key == "receive_timeout_ms") {
    LogNewValue("receive_timeout_ms", value);
    settings.receive_timeout_ms = ToTimeoutMs(value);
  }
}

void ScanMethodsDirectory(const std::string& location,
                          coverage::MethodLists& methodLists) {
  const platform::Operations& ops = platform::Current();
  platform::DirectoryListing listing = ops.listDirectory(location);
  if (listing.error != 0) {
    // The text perror would write for this message.
    ops.writeError(std::string(kNoMethodsLocation) +
                   "\n: " + std::strerror(listing.error) + "\n");
    WriteLog(LogLevel::Error, kNoMethodsLocation);
    return;
  }
  for (const platform::DirectoryEntry& entry : listing.entries) {
    const std::string& name = entry.name;
    // The name is joined to the directory as it stands.
    if (!entry.isDirectory && formats::IsMethodListName(name)) {
      coverage::OpenMethodList(location + name, methodLists);
    }
  }
}

}  // namespace ostrivel::config
