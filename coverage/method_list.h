#ifndef OSTRIVEL_COVERAGE_METHOD_LIST_H_
#define OSTRIVEL_COVERAGE_METHOD_LIST_H_

#include <map>
#include <string>
#include <vector>

namespace ostrivel::coverage {

// The method lines of one application in file order, each stored verbatim.
// Entry i belongs to the i-th call count the service reports.
using MethodList = std::vector<std::string>;

// Method lists by application name, compared byte by byte.
using MethodLists = std::map<std::string, MethodList>;

// Loads the method-list file at "path" into "lists": its header names the
// application (a CR in the name becomes "_", as in the answers' names), whose
// list gets the file's method lines appended. A file that cannot be opened
// (also a FIFO, a socket or a directory) or lacks "ProjectName" in its header
// is logged at level 2 and changes nothing.
void OpenMethodList(const std::string& path, MethodLists& lists);

}  // namespace ostrivel::coverage

#endif  // OSTRIVEL_COVERAGE_METHOD_LIST_H_
