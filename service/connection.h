#ifndef OSTRIVEL_SERVICE_CONNECTION_H_
#define OSTRIVEL_SERVICE_CONNECTION_H_

#include <cstddef>

#include "platform/operations.h"

namespace ostrivel::service {

// Opens a TCP connection to "host_name":"port" into "serviceSocket". Returns
// true when it stands; logs its failures at level 2 and returns false. Does
// not touch "connected".
bool ConnectToService();

// Receives once, at most "size" bytes, into "buffer" (at least size + 1
// characters) and writes a zero behind them. A closed, reset or timed-out
// connection clears "connected" and leaves an empty text. Returns how the
// receive ended and the number of bytes received, which exceeds the length
// of the text when they hold a zero.
platform::ReceiveResult ReceiveData(char* buffer, std::size_t size);

}  // namespace ostrivel::service

#endif  // OSTRIVEL_SERVICE_CONNECTION_H_
