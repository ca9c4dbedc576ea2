#ifndef OSTRIVEL_SERVICE_EXCHANGE_H_
#define OSTRIVEL_SERVICE_EXCHANGE_H_

#include <string>

namespace ostrivel::service {

// The compact JSON request body {"action":"<action>"}.
std::string BuildRequestBody(const char* action);

// Sends "content" as an HTTP/1.1 POST over "serviceSocket", reads the answer
// and hands its JSON body to the evaluation. Reports failures in the log and
// through "connected" only.
void SendRequest(std::string content);

}  // namespace ostrivel::service

#endif  // OSTRIVEL_SERVICE_EXCHANGE_H_
