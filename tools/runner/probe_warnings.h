#ifndef OSTRIVEL_RUNNER_PROBE_WARNINGS_H_
#define OSTRIVEL_RUNNER_PROBE_WARNINGS_H_

#include <string>
#include <vector>

namespace ostrivel::runner {

// The file through which the probe in a test's programs tells the runner
// that it turned counting off (a stale method list, a missing segment): the
// runner names it in OSTRIVEL_PROBE_WARNINGS, the probe appends its lines.
// It is read whatever the test did with standard error.
class ProbeWarnings {
 public:
  ProbeWarnings() = default;
  // Removes the file.
  ~ProbeWarnings();
  ProbeWarnings(const ProbeWarnings&) = delete;
  ProbeWarnings& operator=(const ProbeWarnings&) = delete;

  // Creates an empty file in TMPDIR (or /tmp). Returns false with the
  // reason in "*error" when it cannot.
  bool Create(std::string* error);
  const std::string& path() const { return path_; }

  // The distinct lines written since the last call, in their order, control
  // characters escaped, at most 10 of at most 1000 bytes each from the
  // first 64 KiB; then empties the file for the next test.
  std::vector<std::string> Take();

 private:
  std::string path_;
  int descriptor_ = -1;
};

}  // namespace ostrivel::runner

#endif  // OSTRIVEL_RUNNER_PROBE_WARNINGS_H_
