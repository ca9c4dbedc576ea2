#ifndef OSTRIVEL_BENCH_WORKLOAD_H_
#define OSTRIVEL_BENCH_WORKLOAD_H_

#include <string>
#include <string_view>

#include "coverage/method_list.h"

namespace ostrivel::bench {

// A realistic answer to "ASK" and the method lists that match it: five
// applications of 200,000 methods each, about a third of them not called,
// the rest called from once to a few hundred thousand times.
struct Workload {
  std::string body;
  coverage::MethodLists methodLists;
};

Workload MakeWorkload(int applications = 5, int methods = 200000);

// A fresh directory under the system's temporary directory ("/" at the
// end), removed with its content by the destructor.
class ScratchDirectory {
 public:
  ScratchDirectory();
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Points the process-wide settings at "directory": base, result file and
// log; keeps the default log threshold (level 1) and installs the lists.
void UseDirectory(const std::string& directory,
                  coverage::MethodLists methodLists);

// Evaluates "body" as the exchange does: on the process-wide settings, test
// state and method lists.
void Evaluate(std::string_view body);

}  // namespace ostrivel::bench

#endif  // OSTRIVEL_BENCH_WORKLOAD_H_
