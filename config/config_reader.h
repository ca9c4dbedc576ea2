#ifndef OSTRIVEL_CONFIG_CONFIG_READER_H_
#define OSTRIVEL_CONFIG_CONFIG_READER_H_

#include <string>
#include <utility>

#include "config/settings.h"
#include "coverage/method_list.h"

namespace ostrivel::config {

// A key and its value, both trimmed of blanks.
using Option = std::pair<std::string, std::string>;

// Reads the configuration file at "configPath" over "settings", applying
// each line as it is read, then loads every method list of the methods
// directory into "methodLists", appending to the lists already there. Only the
// bytes that the file held when it was opened are read. A file that cannot be
// opened (also a FIFO, a socket or a directory) shows the warning
// "Configuration" and keeps the settings; the methods directory is scanned in
// any case.
void ReadConfiguration(const char* configPath, Settings& settings,
                       coverage::MethodLists& methodLists);

// Splits a line at its first ":" into key and value ("line" as both when it
// has no ":"). Logs the line at level 0.
Option ParseLine(const std::string& line);

// "text" without its leading and trailing blanks (spaces only). Logs the
// untrimmed text at level 0.
std::string Cutting(const std::string& text);

// Applies one option to "settings", logging the new value at level 0 first.
// Unknown keys are ignored. When "settings" are the log's, the log_level line
// is filtered by the old threshold and the log_location line goes to the old
// file.
void ApplyOption(const Option& option, Settings& settings);

// Loads every method-list file ("*csv") of the directory "location" (a
// prefix joined to each name as it stands) into "methodLists". A directory
// that cannot be listed is reported on standard error and at level 2.
void ScanMethodsDirectory(const std::string& location,
                          coverage::MethodLists& methodLists);

}  // namespace ostrivel::config

#endif  // OSTRIVEL_CONFIG_CONFIG_READER_H_
