#ifndef OSTRIVEL_TOOLS_COLLECTION_SERVICE_COLLECTION_SERVICE_H_
#define OSTRIVEL_TOOLS_COLLECTION_SERVICE_COLLECTION_SERVICE_H_

#include <cstdint>
#include <memory>
#include <string>

#include "tools/collection_service/service_log.h"

namespace ostrivel::collection {

struct ServiceOptions {
  std::string host = "127.0.0.1";
  std::uint16_t port = 8182;  // 0 picks a free port
  std::string methodsDirectory;
  std::string channel = "default";
};

// The reference collection service: an HTTP/1.1 server that answers the
// library's "NEWTC" and "ASK" requests from the counter segments that the
// probes in the programs under test increment.
//
// Connections are kept alive and served side by side on one thread; each
// gets one answer per request, in order. Every answer carries
// Content-Length and a JSON body. A request the service cannot use gets a
// 400 answer and a log line; the connection survives unless the HTTP
// framing itself is broken.
class CollectionService {
 public:
  // "*log" must outlive the service.
  explicit CollectionService(ServiceLog* log);
  ~CollectionService();  // closes every connection, removes the segments
  CollectionService(const CollectionService&) = delete;
  CollectionService& operator=(const CollectionService&) = delete;

  // Loads the method lists, creates the counter segments and starts
  // listening. Returns false and a message in "*error" when the methods
  // directory cannot be read, a segment cannot be created, or the address
  // cannot be bound.
  bool Start(const ServiceOptions& options, std::string* error);

  // The bound address as "host:port" (IPv6 hosts in brackets), and port.
  // REQUIRES: Start() succeeded.
  std::string Endpoint() const;
  std::uint16_t port() const;

  // Makes SIGINT and SIGTERM end Run(). Call before Run().
  void StopOnSignals();

  // Serves until Stop() or a signal (see StopOnSignals()).
  void Run();

  // Ends Run(). Safe to call from any thread.
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace ostrivel::collection

#endif  // OSTRIVEL_TOOLS_COLLECTION_SERVICE_COLLECTION_SERVICE_H_
