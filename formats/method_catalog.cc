#include "formats/method_catalog.h"

#include <cstring>

#include "formats/method_list_format.h"
#include "platform/operations.h"

namespace ostrivel::formats {

bool LoadMethodCatalog(const std::string& directory, MethodCatalog* catalog,
                       std::string* error) {
  // The library's listing, so that both sides append two files of one
  // application in the same order.
  platform::DirectoryListing listing =
      platform::Current().listDirectory(directory);
  if (listing.error != 0) {
    *error = "the methods directory \"" + directory +
             "\" cannot be read: " + std::strerror(listing.error);
    return false;
  }
  std::string prefix = directory;
  if (!prefix.empty() && prefix.back() != '/') prefix += '/';
  for (const platform::DirectoryEntry& entry : listing.entries) {
    if (entry.isDirectory || !IsMethodListName(entry.name)) continue;
    std::string problem;
    auto file = ReadMethodListFile(prefix + entry.name, &problem);
    if (!file) {
      catalog->problems.push_back(problem);
      continue;
    }
    auto& lines = catalog->applications[file->application];
    lines.insert(lines.end(), std::make_move_iterator(file->lines.begin()),
                 std::make_move_iterator(file->lines.end()));
  }
  return true;
}

}  // namespace ostrivel::formats
