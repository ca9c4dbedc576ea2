// The configuration reader on a file holding arbitrary bytes, against a plain
// reading of the format: "key: value" lines, trimmed of blanks, applied in
// order, the first 1023 characters of an over-long line applied last.
//
// The scratch directory is the working directory, and every "/" of the input
// is read as "_" and every ".." as "._", so that no path the input names
// (log, result or methods location) leaves it. The methods directory holds
// two method lists, which are loaded after every input that keeps it.

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "config/config_reader.h"
#include "fuzz/fuzz_environment.h"
#include "harness/state.h"

namespace {

using ostrivel::fuzz::Check;
using ostrivel::harness::Settings;

constexpr int kQuiet = 2;

std::string Trim(const std::string& text) {
  std::size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

std::int32_t Atoi(const std::string& text) {
  long long value = std::strtoll(text.c_str(), nullptr, 10);
  return static_cast<std::int32_t>(
      std::clamp<long long>(value, INT32_MIN, INT32_MAX));
}

void Apply(const std::string& key, const std::string& value,
           Settings& settings) {
  if (key == "base_location") settings.base_location = value;
  if (key == "log_location") settings.log_location = value;
  if (key == "methods") settings.methods = value;
  if (key == "res_location") settings.res_location = value;
  if (key == "methods_location") settings.methods_location = value;
  if (key == "host_name") settings.host_name = value;
  if (key == "port") settings.port = Atoi(value);
  if (key == "log_level" && value == "debug") settings.log_level = 0;
  if (key == "log_level" && value == "error") settings.log_level = 2;
  if (key == "connect_timeout_ms") {
    settings.connect_timeout_ms = std::max(Atoi(value), 0);
  }
  if (key == "receive_timeout_ms") {
    settings.receive_timeout_ms = std::max(Atoi(value), 0);
  }
}

Settings Expected(std::string_view bytes, Settings settings) {
  for (const ostrivel::fuzz::TextLine& line :
       ostrivel::fuzz::SplitTextLines(bytes)) {
    std::size_t colon = line.text.find(':');
    if (colon == std::string::npos) {
      Apply(Trim(line.text), Trim(line.text), settings);
    } else {
      Apply(Trim(line.text.substr(0, colon)), Trim(line.text.substr(colon + 1)),
            settings);
    }
    // An over-long line fails the reader, a line without a line feed ends
    // the file.
    if (line.overlong || !line.ended) break;
  }
  return settings;
}

bool SameSettings(const Settings& a, const Settings& b) {
  return a.base_location == b.base_location &&
         a.log_location == b.log_location && a.res_location == b.res_location &&
         a.methods_location == b.methods_location &&
         a.host_name == b.host_name && a.port == b.port &&
         a.log_level == b.log_level && a.methods == b.methods &&
         a.connect_timeout_ms == b.connect_timeout_ms &&
         a.receive_timeout_ms == b.receive_timeout_ms;
}

// Keeps every path the input names inside the working directory; the length
// of every line stays as it was.
std::string Confined(const std::uint8_t* data, std::size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '/') bytes[i] = '_';
    if (bytes[i] == '.' && i > 0 && bytes[i - 1] == '.') bytes[i] = '_';
  }
  return bytes;
}

void Prepare() {
  ostrivel::fuzz::InstallQuietPlatform();
  ostrivel::fuzz::EnterScratch();
  ostrivel::fuzz::ClearScratch();
  const std::string methods = ostrivel::fuzz::ScratchPath() + "methods/";
  std::filesystem::create_directory(methods);
  ostrivel::fuzz::WriteBytes(methods + "shop.csv",
                             "ProjectName;Shop\n1;m0;p\n2;m1;p\n");
  ostrivel::fuzz::WriteBytes(methods + "admin_csv",
                             "ProjectName;Admin\r\n1;a0;p\r\n");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  static const bool ready = (Prepare(), true);
  (void)ready;
  ostrivel::fuzz::ClearScratch("methods");
  ostrivel::fuzz::ResetLibrary(kQuiet);
  const Settings before = ostrivel::harness::State().settings;

  const std::string bytes = Confined(data, size);
  ostrivel::fuzz::WriteBytes("config.txt", bytes);
  auto& state = ostrivel::harness::State();
  ostrivel::config::ReadConfiguration("config.txt", state.settings,
                                      state.methodLists);

  Check(SameSettings(state.settings, Expected(bytes, before)),
        "the settings differ from a plain reading of the file");
  if (state.settings.methods_location == before.methods_location) {
    Check(state.methodLists ==
              ostrivel::coverage::MethodLists{{"Admin", {"1;a0;p"}},
                                              {"Shop", {"1;m0;p", "2;m1;p"}}},
          "the method lists of the methods directory were not loaded");
  }
  return 0;
}
