#ifndef OSTRIVEL_SERVICE_EXCHANGE_H_
#define OSTRIVEL_SERVICE_EXCHANGE_H_

#include <string>

namespace ostrivel::service {

// The compact JSON request body {"action":"<action>"}.
std::string BuildRequestBody(const char* action);

// How an exchange ended, as far as its caller needs to know.
enum class ExchangeEnd {
  // An answer, or part of one, arrived and was dealt with; or the wait for
  // it timed out.
  kDone,
  // The service closed or reset the connection before any byte of an
  // answer arrived: the request may never have reached it.
  kClosedUnanswered,
};

// Sends "content" as an HTTP/1.1 POST over "serviceSocket", reads the answer
// and hands its JSON body, cut at the announced length, to the evaluation.
// Reports failures in the log and through "connected"; the result only says
// whether the connection ended before the answer began.
ExchangeEnd SendRequest(std::string content);

}  // namespace ostrivel::service

#endif  // OSTRIVEL_SERVICE_EXCHANGE_H_
