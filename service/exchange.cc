#include "service/exchange.h"

// PENDING(service link): the exchange arrives with the service-link work.
namespace ostrivel::service {

std::string BuildRequestBody(const char* action) {
  return std::string("{\"action\":\"") + action + "\"}";
}

void SendRequest(std::string) {}

}  // namespace ostrivel::service
