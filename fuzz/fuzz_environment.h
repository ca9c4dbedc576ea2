#ifndef OSTRIVEL_FUZZ_FUZZ_ENVIRONMENT_H_
#define OSTRIVEL_FUZZ_FUZZ_ENVIRONMENT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// What the fuzz targets share: a scratch directory for the files the library
// writes, a quiet platform, a clean process-wide state for every input, and
// checks that end the run with a message when an invariant breaks.

// The entry point every target defines; libFuzzer or the replay main calls
// it once per input.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size);

namespace ostrivel::fuzz {

// A fresh directory below the system's temporary directory, made on first use
// and removed when the process exits normally. Ends with "/".
const std::string& ScratchPath();

// Makes the scratch directory the working directory, so that relative paths
// the input names stay inside it. Paths handed to the process must be made
// absolute before (the replay main does so).
void EnterScratch();

// Removes every entry of the scratch directory except the one named "keep"
// (none when empty).
void ClearScratch(std::string_view keep = {});

// Puts the process-wide state back to its initial values and points the log,
// the result file, the methods directory ("methods/", not created here) and
// the base location into the scratch directory; "logLevel" is the threshold.
void ResetLibrary(int logLevel);

// Puts in force, for the whole process, a platform whose warnings and
// standard-error output go nowhere: nobody is there to dismiss a message box.
void InstallQuietPlatform();

// The whole content of a file, or nothing when it cannot be read ("*found"
// false).
std::string ReadBytes(const std::string& path, bool* found);
// Writes "bytes" exactly, replacing the file; aborts when that fails.
void WriteBytes(const std::string& path, std::string_view bytes);

// A line of a text file as the library's line reader sees it: CR LF read as
// LF (a lone CR stays), at most LineReader::kMaxLine characters kept.
struct TextLine {
  std::string text;
  bool ended = false;     // a line feed followed it
  bool overlong = false;  // it went on past the characters kept
};

// The lines of "bytes"; a last line without a line feed is among them when
// it holds a character.
std::vector<TextLine> SplitTextLines(std::string_view bytes);

// Aborts with "what" on standard error unless "condition" holds: a broken
// invariant counts as a crash for the fuzzer.
void Check(bool condition, const char* what);

}  // namespace ostrivel::fuzz

#endif  // OSTRIVEL_FUZZ_FUZZ_ENVIRONMENT_H_
