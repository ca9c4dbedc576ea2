#ifndef OSTRIVEL_TESTING_LOOPBACK_SERVICE_H_
#define OSTRIVEL_TESTING_LOOPBACK_SERVICE_H_

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace ostrivel::testing {

// An answer as the collection service gives it: the status line
// "HTTP/1.1 <status>", "Content-Type: application/json", "Content-Length"
// with the size of "body", the blank line and "body".
std::string HttpAnswer(std::string_view body,
                       std::string_view status = "200 OK");

// A collection service for tests, on its own thread, listening on
// 127.0.0.1 at an ephemeral port. It reads each request (header and
// Content-Length bytes), records it byte for byte and plays the next step of
// its script for it. Requests beyond the script go to the responder, or,
// without one, have their connection closed unanswered.
//
// Every wait of the service is bounded; the destructor (or Stop()) closes
// every connection and joins the thread.
class LoopbackService {
 public:
  // What the service does with one request.
  struct Step {
    enum class Kind {
      kAnswer,           // sends "pieces" one by one, keeps the connection
      kAnswerThenClose,  // sends "pieces", then closes the connection
      kClose,            // closes the connection without answering
      kReset,            // resets the connection (RST) without answering
      kNeverAnswer,      // keeps the connection silent until Stop()
    };
    Kind kind = Kind::kAnswer;
    // Each piece goes out in a send of its own, with a pause between
    // pieces so that the client is very likely to receive them apart.
    std::vector<std::string> pieces;
    // "fillerSize" copies of "filler" go out right behind the first piece,
    // made while they are sent, so that a huge answer is never held whole.
    char filler = ' ';
    std::size_t fillerSize = 0;
    // Whether the step waits for Release() (or Stop()) before it sends
    // anything; the whole service waits with it.
    bool held = false;
  };
  static Step Answer(std::string text);
  static Step AnswerInPieces(std::vector<std::string> pieces);
  static Step AnswerThenClose(std::string text);
  static Step Close();
  static Step Reset();
  static Step NeverAnswer();
  // "text" one byte per send, the piece pause between two bytes.
  static Step Drip(std::string_view text);
  // "head", "fillerSize" copies of "filler", then "tail"; the connection
  // stays open.
  static Step Streamed(std::string head, char filler, std::size_t fillerSize,
                       std::string tail);
  // "step", played only once the test calls Release().
  static Step Held(Step step);

  using Responder = std::function<Step(const std::string& request)>;

  struct Request {
    int connection = 0;  // 0 for the first connection accepted, and so on
    std::string bytes;
  };

  // Throws std::runtime_error when no listening socket can be set up.
  LoopbackService() : LoopbackService(0) {}
  // Listens on "port" (0: an ephemeral one). A service started on the port
  // of one that has stopped stands for the same service restarted: the
  // address is reused even while old connections linger in TIME_WAIT.
  explicit LoopbackService(std::uint16_t port);
  ~LoopbackService();
  LoopbackService(const LoopbackService&) = delete;
  LoopbackService& operator=(const LoopbackService&) = delete;

  std::uint16_t port() const { return port_; }

  // Appends a step to the script.
  void Push(Step step);
  // Answers the requests that find the script empty.
  void SetResponder(Responder responder);
  // The pause between two pieces of an answer (20 ms unless set).
  void SetPiecePause(int milliseconds) { piecePauseMs_ = milliseconds; }

  // Whether Requests() keeps each request (the default). Without, requests
  // are only counted, so that a long run does not grow the process.
  void KeepRequests(bool keep);

  // The requests so far, in the order of their arrival.
  std::vector<Request> Requests() const;
  // The number of requests so far, kept or not.
  std::size_t RequestCount() const;
  // The connections accepted so far.
  int Connections() const;
  // The connections open now.
  int OpenConnections() const { return openConnections_; }
  // Waits up to "timeoutMs" until at most "count" connections are open;
  // returns whether that came true. A test that scripts a close waits for it
  // before its next request, which would otherwise race with the close.
  bool WaitForOpenConnections(int count, int timeoutMs = 5000) const;

  // Waits up to "timeoutMs" until a request has reached a held step; returns
  // whether one did.
  bool WaitForHeldStep(int timeoutMs = 5000) const;
  // Lets the held step, and every held step after it, go on.
  void Release();

  // Closes every connection and the listening socket and joins the thread.
  // May be called from any thread but the service's own, more than once.
  void Stop();

 private:
  struct Connection {
    int fd = -1;
    int index = 0;
    bool silent = false;
    std::string pending;
  };

  void Run();
  void Accept();
  // Returns false when the connection is to be closed.
  bool Read(Connection& connection);
  bool Play(Connection& connection, const Step& step);
  bool SendAll(int fd, std::string_view bytes);
  bool SendFiller(int fd, char filler, std::size_t size);
  Step NextStep(const std::string& request);
  // Waits the piece pause; false when Stop() came first.
  bool PauseUnlessStopped();
  // Counts "count" connections as closed and wakes WaitForOpenConnections.
  void ClosedConnections(int count);

  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> piecePauseMs_{20};
  std::atomic<int> openConnections_{0};

  mutable std::mutex mutex_;  // guards what follows
  // Signalled whenever connections close; "openConnections_" changes under
  // "mutex_" when it drops, so that a waiter never misses the change.
  mutable std::condition_variable connectionClosed_;
  // Signalled when a request reaches a held step, at Release() and at Stop().
  mutable std::condition_variable holdChanged_;
  bool holding_ = false;
  bool released_ = false;
  std::deque<Step> script_;
  Responder responder_;
  std::vector<Request> requests_;
  bool keepRequests_ = true;
  std::size_t requestCount_ = 0;
  int connectionCount_ = 0;

  std::vector<Connection> connections_;  // the service thread's own
  std::thread thread_;
};

// A port on 127.0.0.1 that refuses every connection: bound, never listening,
// for as long as this object lives.
class RefusingPort {
 public:
  RefusingPort();
  ~RefusingPort();
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;

  std::uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

// A port on 127.0.0.1 whose connections succeed and stay in the kernel's
// queue: nothing accepts them, so they cost this process no descriptor.
// Takes up to about a thousand connections.
class UnansweredPort {
 public:
  UnansweredPort();
  ~UnansweredPort();
  UnansweredPort(const UnansweredPort&) = delete;
  UnansweredPort& operator=(const UnansweredPort&) = delete;

  std::uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

// A port on 127.0.0.1 whose accept queue is full: a connection attempt
// gets no answer at all and waits until the connecting side gives up, as
// with a service too busy to accept. Holds the connections that fill the
// queue for as long as this object lives.
class FullBacklogPort {
 public:
  // Throws std::runtime_error when the queue cannot be filled.
  FullBacklogPort();
  ~FullBacklogPort();
  FullBacklogPort(const FullBacklogPort&) = delete;
  FullBacklogPort& operator=(const FullBacklogPort&) = delete;

  std::uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
  std::vector<int> held_;
};

// The id of the calling thread (Linux).
int CurrentThreadId();

// Waits up to "timeoutMs" until thread "threadId" of this process sleeps in
// a wait (state "S" in /proc); returns whether it did. No event tells that
// a thread has started to wait, so its state is read again every
// millisecond.
bool WaitUntilAsleep(int threadId, int timeoutMs = 5000);

// The number of open file descriptors of this process (Linux).
int OpenDescriptorCount();

// The resident memory of this process now, and its peak so far, in bytes
// (Linux); 0 when they cannot be read.
std::size_t ResidentBytes();
std::size_t PeakResidentBytes();

}  // namespace ostrivel::testing

#endif  // OSTRIVEL_TESTING_LOOPBACK_SERVICE_H_
