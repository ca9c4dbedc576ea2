#include "service/connection.h"

// PENDING(service link): the connection arrives with the service-link work.
namespace ostrivel::service {

bool ConnectToService() { return false; }

void ReceiveData(char* buffer, std::size_t) { buffer[0] = '\0'; }

}  // namespace ostrivel::service
