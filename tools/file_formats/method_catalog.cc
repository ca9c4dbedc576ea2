#include "tools/file_formats/method_catalog.h"

#include <dirent.h>
#include <errno.h>
#include <sys/stat.h>

#include <cstring>

#include "tools/file_formats/method_list_file.h"

namespace ostrivel::tools {

bool LoadMethodCatalog(const std::string& directory, MethodCatalog* catalog,
                       std::string* error) {
  // readdir, as the library lists the directory: both sides then append
  // two files of one application in the same order.
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr) {
    *error = "the methods directory \"" + directory +
             "\" cannot be read: " + std::strerror(errno);
    return false;
  }
  std::string prefix = directory;
  if (!prefix.empty() && prefix.back() != '/') prefix += '/';
  std::vector<std::string> names;
  while (dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name.size() < 3 || name.compare(name.size() - 3, 3, "csv") != 0) {
      continue;
    }
    struct stat info {};
    if (::stat((prefix + name).c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
      continue;
    }
    names.push_back(name);
  }
  ::closedir(dir);
  for (const std::string& name : names) {
    std::string problem;
    auto file = ReadMethodListFile(prefix + name, &problem);
    if (!file) {
      catalog->problems.push_back(problem);
      continue;
    }
    auto& lines = catalog->applications[file->application];
    lines.insert(lines.end(), file->lines.begin(), file->lines.end());
  }
  return true;
}

}  // namespace ostrivel::tools
