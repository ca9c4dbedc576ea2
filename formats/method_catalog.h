#ifndef OSTRIVEL_FORMATS_METHOD_CATALOG_H_
#define OSTRIVEL_FORMATS_METHOD_CATALOG_H_

#include <map>
#include <string>
#include <vector>

namespace ostrivel::formats {

// The method lists of a methods directory, by application name.
struct MethodCatalog {
  std::map<std::string, std::vector<std::string>> applications;
  // One message per file that was skipped (cannot be opened, no header).
  std::vector<std::string> problems;
};

// Loads the method lists of "directory" the way the library selects and
// reads them: every entry that is no directory and whose name ends in "csv"
// is read; files that name the same application append to its list in the
// order of the directory listing. Unlike the library, a directory without a
// trailing "/" works too. Returns false and a message in "*error" when the
// directory cannot be listed.
bool LoadMethodCatalog(const std::string& directory, MethodCatalog* catalog,
                       std::string* error);

}  // namespace ostrivel::formats

#endif  // OSTRIVEL_FORMATS_METHOD_CATALOG_H_
