#include "tools/collection_service/answers.h"

#include <charconv>
#include <cstddef>

#include <boost/json.hpp>

namespace ostrivel::collection {
namespace {

// Appends "text" as a JSON string, escaped the way boost::json::serialize
// escapes it, so that answers keep their bytes whichever way they are built.
void AppendJsonString(std::string_view text, std::string* out) {
  out->append(boost::json::serialize(
      boost::json::string_view(text.data(), text.size())));
}

// At 100,000 methods an answer is mostly these arrays; writing their digits
// straight into the text costs a fraction of building a boost::json::array
// and serialising it. Digits go through a small buffer, so that the string
// is not checked for room once per digit.
void AppendCountArray(const tools::OwnedSegment& segment, std::string* out) {
  constexpr std::size_t kFlushAt = 4096;
  // Room for one more count ("," and 10 digits) after kFlushAt.
  char buffer[kFlushAt + 16];
  std::size_t used = 0;
  std::uint64_t methods = segment.methodCount();
  // Most methods of a test are not called: "0," each, plus the brackets.
  out->reserve(out->size() + 2 * methods + 2);
  out->push_back('[');
  for (std::uint64_t i = 0; i < methods; ++i) {
    if (i != 0) buffer[used++] = ',';
    std::int32_t count = segment.ClampedCount(i);
    if (count == 0) {
      buffer[used++] = '0';
    } else {
      char* end =
          std::to_chars(buffer + used, buffer + sizeof buffer, count).ptr;
      used = static_cast<std::size_t>(end - buffer);
    }
    if (used >= kFlushAt) {
      out->append(buffer, used);
      used = 0;
    }
  }
  out->append(buffer, used);
  out->push_back(']');
}

// {"timestamp":"<timestamp>"}, without the closing brace.
std::string OpenReply(const std::string& timestamp) {
  std::string reply = "{\"timestamp\":";
  AppendJsonString(timestamp, &reply);
  return reply;
}

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

void CounterTable::AppendCounts(std::string* out) const {
  out->push_back('{');
  bool first = true;
  for (const auto& [application, segment] : segments_) {
    if (!first) out->push_back(',');
    first = false;
    AppendJsonString(application, out);
    out->push_back(':');
    AppendCountArray(segment, out);
  }
  out->push_back('}');
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
    answer.body = OpenReply(timestamp) + "}";
    answer.logLine = "NEWTC: counts reset";
  } else if (word == "ASK") {
    if (owner->connection == connection) owner->connection.reset();
    counters->Collect();
    answer.body = OpenReply(timestamp);
    answer.body += ",\"data\":";
    counters->AppendCounts(&answer.body);
    answer.body += '}';
    answer.logLine = "ASK: counts of " + std::to_string(counters->size()) +
                     " application(s) sent";
  } else {
    return Refuse("unknown action \"" + std::string(word) + "\"");
  }
  return answer;
}

}  // namespace ostrivel::collection
