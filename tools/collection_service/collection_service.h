#ifndef OSTRIVEL_TOOLS_COLLECTION_SERVICE_COLLECTION_SERVICE_H_
#define OSTRIVEL_TOOLS_COLLECTION_SERVICE_COLLECTION_SERVICE_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/collection_service/service_log.h"

namespace ostrivel::collection {

inline constexpr std::size_t kMaxSlots = 1024;

struct ServiceOptions {
  std::string host = "127.0.0.1";
  // Slot i listens on port + i; 0 picks a free port for each slot.
  std::uint16_t port = 8182;
  // Independent slots, each with its own port, counters and test owner,
  // so that several harnesses run tests side by side. 1 to kMaxSlots.
  std::size_t slots = 1;
  std::string methodsDirectory;
  std::string channel = "default";
  // A request must arrive whole (header and body) within this time of its
  // first byte, or of the connection's start for a connection's first one.
  std::chrono::milliseconds requestTimeout = std::chrono::seconds(30);
  // A kept connection may wait this long for its next request. The library
  // keeps one connection for a whole run, idle while each test runs.
  std::chrono::milliseconds idleTimeout = std::chrono::minutes(10);
  // Connections open at once; see CollectionService for the one beyond.
  std::size_t maxConnections = 64;
  // Names besides "localhost" and loopback addresses that the Host header
  // may carry while the service listens on a loopback address.
  std::vector<std::string> allowedHosts;
};

// The channel whose counters slot "slot" of a service with "slots" slots
// and the channel "channel" serves, and that the programs under test counting
// into that slot name in OSTRIVEL_CHANNEL: "channel" itself when there is one
// slot, "<channel>.<slot>" otherwise. With several slots no slot takes the
// plain channel, so that a program told no slot counts into none instead of
// spoiling another test's counts.
std::string SlotChannel(const std::string& channel, std::size_t slot,
                        std::size_t slots);

// The reference collection service: an HTTP/1.1 server that answers the
// library's "NEWTC" and "ASK" requests from the counter segments that the
// probes in the programs under test increment.
//
// Connections are kept alive and served side by side on one thread; each
// gets one answer per request, in order. Every answer carries
// Content-Length and a JSON body. A request the service cannot use gets a
// 400 answer and a log line; the connection survives unless the HTTP
// framing itself is broken.
//
// Only a harness's requests are served: a request without
// "Content-Type: application/json", with an Origin header (a web page's),
// or, on a loopback address, with a Host that names no loopback address,
// "localhost" or an allowed host (DNS rebinding) gets 403 and a log line.
// A NEWTC while another connection's test runs gets 409 (see
// AnswerRequest()).
//
// With several slots (ServiceOptions::slots), each slot is such a service
// of its own on its own port, with its own counters on its own channel
// (SlotChannel()): a NEWTC or ASK on one slot never touches another's
// counters or test, and the connection limit holds per slot. Every log
// line of a slot then begins with "slot <i>: ".
//
// No peer can hold the service: a connection that does not deliver a whole
// request in time, or stays idle too long, is closed. When "maxConnections"
// are open, or descriptors run out, the oldest connection that has not yet
// sent a request that was served makes room for the new one; when every
// open connection has been served, the new one is closed at once. When
// accepting fails otherwise, the service tries again 100 ms later. Lines
// about refused connections and failed accepts are written at most once a
// second, with the count of those left out.
class CollectionService {
 public:
  // "*log" must outlive the service.
  explicit CollectionService(ServiceLog* log);
  ~CollectionService();  // closes every connection, removes the segments
  CollectionService(const CollectionService&) = delete;
  CollectionService& operator=(const CollectionService&) = delete;

  // Loads the method lists, creates the counter segments of every slot and
  // starts listening on every slot's port. Returns false and a message in
  // "*error" when the number of slots is out of range, the methods
  // directory cannot be read, a segment cannot be created, or an address
  // cannot be bound (with several slots, a message about one slot names
  // it). Nothing is served unless every slot listens.
  bool Start(const ServiceOptions& options, std::string* error);

  // REQUIRES: Start() succeeded, and "slot" < slots().
  std::size_t slots() const;
  // A slot's bound address as "host:port" (IPv6 hosts in brackets).
  std::string Endpoint(std::size_t slot = 0) const;
  // A slot's bound address without its port, IPv6 ones without brackets.
  std::string Address(std::size_t slot = 0) const;
  std::uint16_t port(std::size_t slot = 0) const;
  // The channel of a slot's counters (SlotChannel()).
  const std::string& Channel(std::size_t slot = 0) const;

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
