// The method-list reader on a file holding arbitrary bytes, against a plain
// reading of the file format: a header naming the application, then the
// method lines that end in a line feed, up to the first over-long line.
// The list of the application "Shop" holds one line before every input, so
// that appending to an existing list is reached too.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "coverage/method_list.h"
#include "fuzz/fuzz_environment.h"

namespace {

using ostrivel::coverage::MethodLists;
using ostrivel::fuzz::Check;

MethodLists Expected(std::string_view bytes, MethodLists lists) {
  std::vector<ostrivel::fuzz::TextLine> lines =
      ostrivel::fuzz::SplitTextLines(bytes);
  std::string header = lines.empty() ? std::string() : lines[0].text;
  if (header.find("ProjectName") == std::string::npos) return lists;
  std::size_t semicolon = header.find(';');
  std::string name =
      semicolon == std::string::npos ? header : header.substr(semicolon + 1);
  for (char& c : name) {
    if (c == '\r') c = '_';
  }
  auto& methods = lists[name];
  // A header that is over-long or is the whole file leaves no line to read.
  if (lines[0].overlong || !lines[0].ended) return lists;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    if (lines[i].overlong || !lines[i].ended) break;
    methods.push_back(lines[i].text);
  }
  return lists;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  static const bool ready = [] {
    ostrivel::fuzz::InstallQuietPlatform();
    return true;
  }();
  (void)ready;
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  ostrivel::fuzz::ClearScratch();
  ostrivel::fuzz::ResetLibrary(2);
  const std::string path = ostrivel::fuzz::ScratchPath() + "list.csv";
  ostrivel::fuzz::WriteBytes(path, bytes);

  const MethodLists before = {{"Shop", {"1;m0;p"}}};
  MethodLists lists = before;
  ostrivel::coverage::OpenMethodList(path, lists);
  Check(lists == Expected(bytes, before),
        "the lists differ from a plain reading of the file");
  return 0;
}
