#include "service/exchange.h"

#include <cstring>

#include <boost/json.hpp>

#include "coverage/evaluate.h"
#include "harness/state.h"
#include "log/log.h"
#include "platform/operations.h"
#include "service/answer_framing.h"
#include "service/connection.h"

namespace ostrivel::service {
namespace {

using log::LogLevel;
using log::WriteLog;

constexpr std::size_t kReceiveSize = 1024;

constexpr const char* kClosingLine = "Communicate with the service.";

}  // namespace

std::string BuildRequestBody(const char* action) {
  boost::json::object body;
  body["action"] = action;
  return boost::json::serialize(body);
}

// By value as declared: the callers hand over a temporary.
// NOLINTNEXTLINE(performance-unnecessary-value-param)
ExchangeEnd SendRequest(std::string content) {
  harness::ProcessState& state = harness::State();
  const harness::CollectorState& collector = state.collector;

  std::string request =
      ComposeRequest(state.settings.host_name, state.settings.port, content);
  WriteLog(LogLevel::Debug, "Sending message... (content: ", content, ")");
  long sent = platform::Current().send(collector.serviceSocket, request.data(),
                                       request.size());
  WriteLog(LogLevel::Debug, "Sent message length:", sent);

  char buffer[kReceiveSize + 1];
  AnswerText answer;
  // Each receive is taken up to its first zero byte, as a C string; the
  // framing still learns how many bytes arrived.
  auto receive = [&] {
    platform::ReceiveResult received = ReceiveData(buffer, kReceiveSize);
    std::size_t length = std::strlen(buffer);
    answer.Append(std::string_view(buffer, length), received.size - length);
    return received.status;
  };

  // The first receive happens whatever "connected" says.
  const platform::ReceiveStatus first = receive();
  const ExchangeEnd end = first == platform::ReceiveStatus::kClosed ||
                                  first == platform::ReceiveStatus::kError
                              ? ExchangeEnd::kClosedUnanswered
                              : ExchangeEnd::kDone;

  // The value is taken only when the text behind it has arrived too: read
  // at a receive boundary, "Content-Length: 1" of "Content-Length: 1234"
  // would cut the body short.
  while (!answer.ContentLengthRead() && collector.connected) receive();
  const std::size_t contentLength = answer.ContentLength();
  if (contentLength == 0) {
    WriteLog(LogLevel::Simple, kClosingLine);
    return end;
  }

  std::size_t brace = answer.FindBrace();
  while (brace == AnswerText::npos) {
    // Once the whole body is here, nothing more will come: waiting for a
    // "{" would block the harness for good on a service that keeps the
    // connection open.
    if (!collector.connected || answer.WholeBodyArrived(contentLength)) break;
    receive();
    brace = answer.FindBrace();
    if (brace == AnswerText::npos && answer.HasAngle()) break;
  }
  if (brace == AnswerText::npos) {
    if (answer.HasAngle()) {
      // A markup page, most likely an error page of a proxy or server.
      WriteLog(LogLevel::Error, "Error in message: ", answer.text());
      return end;
    }
    // When the connection ended, its own line has said why; a complete
    // answer without a body is the service's fault and says so here.
    if (answer.WholeBodyArrived(contentLength)) {
      WriteLog(LogLevel::Error, "No JSON body in message: ", answer.text());
    }
    WriteLog(LogLevel::Simple, kClosingLine);
    return end;
  }

  // The length counts from the first "{". The whole body counted from the
  // end of the header ends the wait as well, so that bytes before the "{"
  // do not leave the exchange waiting for bytes that never come.
  while (answer.text().size() - brace < contentLength &&
         !answer.WholeBodyArrived(contentLength) && collector.connected) {
    receive();
  }

  // The answer is done with: its text becomes the body without a copy.
  std::string body = answer.TakeTextFrom(brace);
  // What the last receive brought beyond the announced length is not this
  // answer's (a trailing line end, the start of whatever follows); within
  // the length, text behind the JSON value still spoils the body.
  if (body.size() > contentLength) body.resize(contentLength);
  WriteLog(LogLevel::Debug, body);
  coverage::EvaluateAnswer(body, state.settings, state.collector,
                           state.methodLists);
  WriteLog(LogLevel::Simple, kClosingLine);
  return end;
}

}  // namespace ostrivel::service
