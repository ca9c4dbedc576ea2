#ifndef OSTRIVEL_CONFIG_SETTINGS_H_
#define OSTRIVEL_CONFIG_SETTINGS_H_

#include <cstdint>
#include <string>

#include "coverage/evaluate.h"
#include "formats/defaults.h"
#include "log/log.h"

namespace ostrivel::config {

// The configuration values, with their built-in defaults. Names follow the
// configuration keys. The log's and the evaluation's own settings are parts
// of it, so that each of them can be handed exactly what it reads.
struct Settings : log::Settings, coverage::Settings {
  // The paths are joined once from the default base; they do not follow
  // base_location.
  Settings()
      : log::Settings{formats::DefaultPath(formats::kLogFileName)},
        coverage::Settings{std::string(formats::kDefaultBase),
                           formats::DefaultPath(formats::kResultFileName)} {}

  std::string methods_location =
      formats::DefaultPath(formats::kMethodsFolderName);
  std::string host_name = "localhost";
  std::int32_t port = 8182;
  std::string methods;  // read by nothing
  // Opt-in time-outs in milliseconds; 0 waits without limit.
  std::int32_t connect_timeout_ms = 0;
  std::int32_t receive_timeout_ms = 0;
};

}  // namespace ostrivel::config

#endif  // OSTRIVEL_CONFIG_SETTINGS_H_
