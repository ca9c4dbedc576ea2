#ifndef OSTRIVEL_TESTING_TEMP_DIR_H_
#define OSTRIVEL_TESTING_TEMP_DIR_H_

#include <string>
#include <string_view>
#include <vector>

namespace ostrivel::testing {

// A fresh directory under the system's temporary directory, removed with
// everything in it when this object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The directory's path with a trailing "/".
  const std::string& path() const { return path_; }
  // path() followed by "name".
  std::string File(std::string_view name) const;

 private:
  std::string path_;
};

// The whole content of a file as bytes, or "<missing>" when it cannot be read.
std::string ReadFile(const std::string& path);
// Writes "bytes" exactly, replacing the file.
void WriteFile(const std::string& path, std::string_view bytes);
bool FileExists(const std::string& path);
// "text" split at its line feeds, a CR before each dropped; no empty line
// after a last line feed.
std::vector<std::string> SplitLines(const std::string& text);
// The ";"-separated fields of a method-list, trace or result line.
std::vector<std::string> SplitFields(const std::string& line);

}  // namespace ostrivel::testing

#endif  // OSTRIVEL_TESTING_TEMP_DIR_H_
