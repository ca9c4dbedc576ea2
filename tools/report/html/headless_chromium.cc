#include "tools/report/html/headless_chromium.h"

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string_view>

#include <fmt/format.h>

namespace ostrivel::report::browser {

std::string FindChromium() {
  const char* variable = std::getenv("PATH");
  std::stringstream path(variable != nullptr ? variable : "");
  std::string dir;
  while (std::getline(path, dir, ':')) {
    for (const char* name : {"chromium", "chromium-browser"}) {
      std::filesystem::path candidate = std::filesystem::path(dir) / name;
      std::error_code error;
      if (std::filesystem::is_regular_file(candidate, error)) {
        return candidate.string();
      }
    }
  }
  return "";
}

bool ChromiumRequired() {
  const char* require = std::getenv("OSTRIVEL_REQUIRE_CHROMIUM");
  return require != nullptr && std::string_view(require) == "1";
}

int RunHeadlessChromium(const std::string& chromium, const std::string& dir,
                        const std::string& arguments, const std::string& url,
                        const std::string& output) {
  std::string command = fmt::format(
      "cd '{0}' && HOME='{0}' timeout 120 '{1}' --headless --no-sandbox "
      "--disable-gpu --disable-dev-shm-usage --no-first-run "
      "--user-data-dir='{0}profile' {2} '{3}' >'{4}' 2>/dev/null",
      dir, chromium, arguments, url, output);
  return std::system(command.c_str());
}

}  // namespace ostrivel::report::browser
