#ifndef OSTRIVEL_TOOLS_COLLECTION_SERVICE_ANSWERS_H_
#define OSTRIVEL_TOOLS_COLLECTION_SERVICE_ANSWERS_H_

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <boost/json/object.hpp>

#include "formats/method_catalog.h"
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

  // Zeroes every counter.
  void Reset();

  // Every application's counts, clamped to the signed 32-bit range, in
  // method-line order.
  boost::json::object Counts() const;

  std::size_t size() const { return segments_.size(); }

 private:
  std::map<std::string, tools::OwnedSegment> segments_;
};

struct Answer {
  unsigned status = 200;  // HTTP status code
  std::string body;       // compact JSON
  std::string logLine;    // what happened, for the service's log
  bool failed = false;    // the request was refused
};

// Answers one request body:
// - {"action":"NEWTC"} resets the counters: 200 {"timestamp":"..."};
// - {"action":"ASK"}: 200 {"timestamp":"...","data":{"<app>":[...],...}};
// - anything else: 400 {"error":"..."}.
// "timestamp" is the time of the answer in the form of FormatTimestamp().
Answer AnswerRequest(std::string_view body, CounterTable* counters,
                     const std::string& timestamp);

// The body of a refusal: {"error":"<message>"}.
std::string ErrorBody(std::string_view message);

}  // namespace ostrivel::collection

#endif  // OSTRIVEL_TOOLS_COLLECTION_SERVICE_ANSWERS_H_
