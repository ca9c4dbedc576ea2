#ifndef OSTRIVEL_TOOLS_COLLECTION_SERVICE_ANSWERS_H_
#define OSTRIVEL_TOOLS_COLLECTION_SERVICE_ANSWERS_H_

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "formats/method_catalog.h"
#include "tools/collection_service/profile_table.h"
#include "tools/counter_segment/counter_segment.h"

namespace ostrivel::collection {

using formats::MethodCatalog;

// The counter segments of every application of a catalog, owned by the
// service: created together, removed when the table goes away.
class CounterTable {
 public:
  // Creates one segment per application on "channel", with one counter per
  // method line. Returns false and a message in "*error" when one cannot be
  // created; segments created before are removed again. "*notes" receives a
  // message for each stale segment that was replaced.
  bool Create(const std::string& channel, const MethodCatalog& catalog,
              std::string* error, std::vector<std::string>* notes);

  // Zeroes every counter, the clang route's in the programs' raw profiles
  // too.
  void Reset();

  // Takes the counts of the clang route's applications from their
  // programs' raw profiles into their segments (profile_table.cc).
  void Collect();

  // Problems with the clang route's profile files go to "report".
  void ReportProfileProblemsTo(std::function<void(const std::string&)> report);

  // Appends every application's counts, clamped to the signed 32-bit range,
  // in method-line order, as the compact JSON object
  // {"<app>":[<count>,...],...}, applications in ascending name order.
  void AppendCounts(std::string* out) const;

  std::size_t size() const { return segments_.size(); }

 private:
  std::map<std::string, tools::OwnedSegment> segments_;
  ProfileTable profiles_;
};

struct Answer {
  unsigned status = 200;  // HTTP status code
  std::string body;       // compact JSON
  std::string logLine;    // what happened, for the service's log
  bool failed = false;    // the request was refused
};

// The connection whose NEWTC opened the test that runs, if one runs. The
// counters belong to one harness at a time: another harness's NEWTC would
// zero the counts of a test in the middle of it.
struct TestOwner {
  std::optional<std::uint64_t> connection;
};

// Answers one request body that arrived on the connection numbered
// "connection":
// - {"action":"NEWTC"} resets the counters and makes "connection" the
//   test's owner: 200 {"timestamp":"..."}; while another connection owns a
//   test, 409 {"error":"a test of another harness is running"} and nothing
//   is reset;
// - {"action":"ASK"}: 200 {"timestamp":"...","data":{"<app>":[...],...}};
//   from the owner it also ends the test;
// - anything else: 400 {"error":"..."}.
// "timestamp" is the time of the answer in the form of FormatTimestamp().
// The caller clears "*owner" when the owning connection ends.
Answer AnswerRequest(std::string_view body, std::uint64_t connection,
                     TestOwner* owner, CounterTable* counters,
                     const std::string& timestamp);

// The body of a refusal: {"error":"<message>"}.
std::string ErrorBody(std::string_view message);

}  // namespace ostrivel::collection

#endif  // OSTRIVEL_TOOLS_COLLECTION_SERVICE_ANSWERS_H_
