#ifndef OSTRIVEL_BENCH_REPORT_DATA_H_
#define OSTRIVEL_BENCH_REPORT_DATA_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ostrivel::bench {

// The size of a generated coverage data set and the seed that fixes it.
struct ReportDataShape {
  int tests = 10000;
  int applications = 5;
  int methods = 20000;  // per application
  // How often every test was run; every run appends its rows to the result
  // file, the trace files show the last run.
  int runs = 1;
  std::uint64_t seed = 1;
};

// An application's method list as read from a file.
struct GivenMethodList {
  std::string application;
  std::vector<std::string> lines;
  // The build ID file written beside the list ("" for none), copied beside
  // the written list.
  std::string buildId;
};

// One call count that is not 0: a position in an application's method list
// and the number of calls.
struct MethodCalls {
  std::uint32_t position = 0;
  std::int32_t calls = 0;

  bool operator==(const MethodCalls&) const = default;
};

// A synthetic but realistically shaped coverage data set, the same for the
// same shape on every run. Per application:
// - about 1% of the methods form a core that every test reaches, many
//   times;
// - blocks of 50-200 consecutive methods form features; a test touches a
//   few features and reaches part of each; some methods of a feature are
//   never reached (error paths);
// - every test reaches 0-3 methods (over all applications) that no other
//   test reaches;
// - the rest is never reached; overall about half of the methods are.
// Calls are mostly 1-10, some hundreds or thousands, a core method up to
// 50,000. Every application has a "checkout" feature; its lines, and a few
// others outside the core, hold "checkout", so that not every test reaches
// such a method. Only the method lists and a few tables are kept; the calls
// are computed on demand.
class ReportData {
 public:
  // REQUIRES: every count of "shape" at least 1.
  explicit ReportData(const ReportDataShape& shape);
  // The applications and their methods are those of "lists" (shape's
  // applications and methods are ignored): the calls are laid over real
  // method lists the same way. REQUIRES: "lists" not empty, its application
  // names distinct, no list empty.
  ReportData(const ReportDataShape& shape, std::vector<GivenMethodList> lists);

  const ReportDataShape& shape() const { return shape_; }

  // The application names in ascending byte order, the order of their rows.
  const std::vector<std::string>& applications() const {
    return applicationNames_;
  }
  // The method lines of "application" (an index into applications()),
  // "0x<address>;<method>;<scope>" without a line end.
  const std::vector<std::string>& MethodLines(int application) const;
  // The text of the build ID file beside the list of "application", empty
  // for none.
  const std::string& BuildId(int application) const;

  // "Suite.Case_<test>": no ";", "/" or "\".
  std::string TestName(int test) const;

  // The calls of "test" in "application" during run "run" (0 is the first,
  // shape().runs - 1 the one the trace files show), ascending by position.
  // Every run reaches the same positions; the calls differ between runs.
  std::vector<MethodCalls> Calls(int test, int application, int run) const;

  // The runtime of "test" in run "run", 5 to 60,000 ms; it differs between
  // runs.
  std::int64_t RuntimeMs(int test, int run) const;

  // The positions of "application" that "test" reaches and no other test
  // reaches, ascending.
  std::vector<std::uint32_t> OnlyThisTest(int test, int application) const;

 private:
  struct Feature {
    std::uint32_t begin = 0;
    std::uint32_t end = 0;
    // Positions any test may reach; the others are never reached.
    std::vector<std::uint32_t> reachable;
  };
  struct Application {
    std::vector<std::string> lines;
    std::string buildId;
    std::vector<std::uint32_t> core;
    std::vector<Feature> features;
    // Dead-code positions, in the order they are handed out as methods only
    // one test reaches.
    std::vector<std::uint32_t> onlyOnePool;
    // Test t owns onlyOnePool[onlyOneStart[t]] up to onlyOneStart[t + 1].
    std::vector<std::uint32_t> onlyOneStart;
  };

  void BuildApplication(int index, const std::string& name,
                        std::uint32_t methods);
  // Hands out the methods only one test reaches.
  void HandOutOnlyOnePools();
  // How many methods only "test" reaches in "application" (before the pool
  // of the application runs dry).
  int OnlyOneWanted(int test, int application) const;
  std::uint64_t Key(std::uint64_t a, std::uint64_t b, std::uint64_t c) const;

  ReportDataShape shape_;
  std::vector<std::string> applicationNames_;
  std::vector<Application> applicationShapes_;
};

// What WriteReportData wrote.
struct WrittenFiles {
  std::uint64_t resultBytes = 0;
  std::uint64_t traceFiles = 0;
  std::uint64_t traceBytes = 0;
  std::uint64_t methodBytes = 0;
};

// Writes the data set into "directory" (created when missing) in the
// library's own formats:
// - "result.csv": the header, then per run, test and application one row
//   (CR LF lines);
// - "traces/<test>_<application>_trace.csv": the last run's calls;
// - "methods/<application>.csv": "ProjectName;<application>" and the method
//   lines (LF lines), and "methods/<application>.csv.build-id" when a given
//   list had a build ID file;
// - "ostrivel.conf": res_location, base_location and methods_location
//   pointing at the above (absolute paths).
// A result file, "traces" and "methods" already there are replaced. Uses up
// to "threads" threads (at least one). Returns nothing, with a message in
// "*error", when a file cannot be written.
std::optional<WrittenFiles> WriteReportData(const ReportData& data,
                                            const std::string& directory,
                                            int threads, std::string* error);

}  // namespace ostrivel::bench

#endif  // OSTRIVEL_BENCH_REPORT_DATA_H_
