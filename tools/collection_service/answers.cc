#include "tools/collection_service/answers.h"

#include <boost/json.hpp>

namespace ostrivel::collection {
namespace {

Answer Refuse(const std::string& message) {
  Answer answer;
  answer.status = 400;
  answer.body = ErrorBody(message);
  answer.logLine = "refused: " + message;
  answer.failed = true;
  return answer;
}

}  // namespace

bool CounterTable::Create(const std::string& channel,
                          const MethodCatalog& catalog, std::string* error,
                          std::vector<std::string>* notes) {
  segments_.clear();
  for (const auto& [application, lines] : catalog.applications) {
    tools::OwnedSegment segment;
    std::string note;
    if (!segment.Create(tools::SegmentName(channel, application), lines.size(),
                        error, &note)) {
      segments_.clear();
      return false;
    }
    if (!note.empty()) notes->push_back(note);
    segments_.emplace(application, std::move(segment));
  }
  if (!profiles_.Create(channel, catalog, error, notes)) {
    segments_.clear();
    return false;
  }
  return true;
}

void CounterTable::Reset() {
  for (auto& entry : segments_) entry.second.Reset();
  profiles_.Reset();
}

boost::json::object CounterTable::Counts() const {
  boost::json::object data;
  for (const auto& [application, segment] : segments_) {
    boost::json::array counts;
    counts.reserve(segment.methodCount());
    for (std::uint64_t i = 0; i < segment.methodCount(); ++i) {
      counts.emplace_back(segment.ClampedCount(i));
    }
    data.emplace(application, std::move(counts));
  }
  return data;
}

std::string ErrorBody(std::string_view message) {
  boost::json::object body;
  body.emplace("error", message);
  return boost::json::serialize(body);
}

Answer AnswerRequest(std::string_view body, std::uint64_t connection,
                     TestOwner* owner, CounterTable* counters,
                     const std::string& timestamp) {
  boost::system::error_code ec;
  boost::json::value value = boost::json::parse(body, ec);
  if (ec) return Refuse("malformed JSON body: " + ec.message());
  const boost::json::object* object = value.if_object();
  if (object == nullptr) return Refuse("the body is no JSON object");
  const boost::json::value* action = object->if_contains("action");
  if (action == nullptr || !action->is_string()) {
    return Refuse("the body has no string member \"action\"");
  }
  std::string_view word = action->get_string();
  boost::json::object reply;
  reply.emplace("timestamp", timestamp);
  Answer answer;
  if (word == "NEWTC") {
    if (owner->connection && *owner->connection != connection) {
      Answer refused;
      refused.status = 409;
      refused.body = ErrorBody("a test of another harness is running");
      refused.logLine =
          "refused: NEWTC: a test of another harness is running, counts kept";
      refused.failed = true;
      return refused;
    }
    owner->connection = connection;
    counters->Reset();
    answer.body = boost::json::serialize(reply);
    answer.logLine = "NEWTC: counts reset";
  } else if (word == "ASK") {
    if (owner->connection == connection) owner->connection.reset();
    counters->Collect();
    reply.emplace("data", counters->Counts());
    answer.body = boost::json::serialize(reply);
    answer.logLine = "ASK: counts of " + std::to_string(counters->size()) +
                     " application(s) sent";
  } else {
    return Refuse("unknown action \"" + std::string(word) + "\"");
  }
  return answer;
}

}  // namespace ostrivel::collection
