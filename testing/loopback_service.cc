// A test service on plain POSIX sockets: one thread, one poll loop with a
// short time-out, so that Stop() is noticed within a few milliseconds and no
// wait is unbounded.

#include "testing/loopback_service.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <utility>

namespace ostrivel::testing {
namespace {

constexpr int kPollMs = 10;
constexpr int kSendWaitMs = 5000;
constexpr std::size_t kMaxPending = 1 << 20;

// The size of a request that starts "text", or 0 while it is incomplete.
std::size_t RequestSize(const std::string& text) {
  std::size_t headerEnd = text.find("\r\n\r\n");
  if (headerEnd == std::string::npos) return 0;
  std::string header = text.substr(0, headerEnd);
  std::transform(header.begin(), header.end(), header.begin(), [](char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  });
  std::size_t length = 0;
  std::size_t name = header.find("content-length:");
  if (name != std::string::npos) {
    std::size_t at = name + 15;
    while (at < header.size() && header[at] == ' ') ++at;
    while (at < header.size() && header[at] >= '0' && header[at] <= '9') {
      length = length * 10 + static_cast<std::size_t>(header[at] - '0');
      ++at;
    }
  }
  std::size_t total = headerEnd + 4 + length;
  return text.size() >= total ? total : 0;
}

// A socket bound to 127.0.0.1 at "wanted" (0: an ephemeral port), which
// goes to "*port"; -1 on failure. "reuse" lets a later socket bind the port
// while connections accepted from this one linger; the accepted sockets
// inherit the flag, and Linux lets the port be bound again only when they
// all carry it.
int BoundSocket(std::uint16_t* port, std::uint16_t wanted = 0,
                bool reuse = false) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (reuse) {
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(wanted);
  socklen_t length = sizeof(address);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return fd;
}

// A field of /proc/self/status in kB ("VmRSS:", "VmHWM:"), in bytes.
std::size_t StatusBytes(std::string_view field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, field.size(), field) != 0) continue;
    return static_cast<std::size_t>(
               std::strtoull(line.c_str() + field.size(), nullptr, 10)) *
           1024;
  }
  return 0;
}

}  // namespace

std::string HttpAnswer(std::string_view body, std::string_view status) {
  std::string text = "HTTP/1.1 ";
  text += status;
  text += "\r\nContent-Type: application/json\r\nContent-Length: ";
  text += std::to_string(body.size());
  text += "\r\n\r\n";
  text += body;
  return text;
}

LoopbackService::Step LoopbackService::Answer(std::string text) {
  return {Step::Kind::kAnswer, {std::move(text)}};
}
LoopbackService::Step LoopbackService::AnswerInPieces(
    std::vector<std::string> pieces) {
  return {Step::Kind::kAnswer, std::move(pieces)};
}
LoopbackService::Step LoopbackService::AnswerThenClose(std::string text) {
  return {Step::Kind::kAnswerThenClose, {std::move(text)}};
}
LoopbackService::Step LoopbackService::Close() {
  return {Step::Kind::kClose, {}};
}
LoopbackService::Step LoopbackService::Reset() {
  return {Step::Kind::kReset, {}};
}
LoopbackService::Step LoopbackService::NeverAnswer() {
  return {Step::Kind::kNeverAnswer, {}};
}

LoopbackService::Step LoopbackService::Drip(std::string_view text) {
  Step step;
  for (char c : text) step.pieces.emplace_back(1, c);
  return step;
}
LoopbackService::Step LoopbackService::Streamed(std::string head, char filler,
                                                std::size_t fillerSize,
                                                std::string tail) {
  Step step;
  step.pieces = {std::move(head), std::move(tail)};
  step.filler = filler;
  step.fillerSize = fillerSize;
  return step;
}

LoopbackService::Step LoopbackService::Held(Step step) {
  step.held = true;
  return step;
}

LoopbackService::LoopbackService(std::uint16_t port) {
  listener_ = BoundSocket(&port_, port, /*reuse=*/true);
  if (listener_ < 0 || ::fcntl(listener_, F_SETFL, O_NONBLOCK) != 0 ||
      ::listen(listener_, 64) != 0) {
    if (listener_ >= 0) ::close(listener_);
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
  thread_ = std::thread([this] { Run(); });
}

LoopbackService::~LoopbackService() { Stop(); }

void LoopbackService::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  holdChanged_.notify_all();
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
    thread_.join();
  }
}

void LoopbackService::Push(Step step) {
  std::lock_guard<std::mutex> lock(mutex_);
  script_.push_back(std::move(step));
}

void LoopbackService::SetResponder(Responder responder) {
  std::lock_guard<std::mutex> lock(mutex_);
  responder_ = std::move(responder);
}

void LoopbackService::KeepRequests(bool keep) {
  std::lock_guard<std::mutex> lock(mutex_);
  keepRequests_ = keep;
}

std::vector<LoopbackService::Request> LoopbackService::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::size_t LoopbackService::RequestCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requestCount_;
}

int LoopbackService::Connections() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connectionCount_;
}

void LoopbackService::Run() {
  std::vector<pollfd> fds;
  while (!stop_) {
    fds.clear();
    fds.push_back({listener_, POLLIN, 0});
    for (const Connection& connection : connections_) {
      fds.push_back({connection.fd, POLLIN, 0});
    }
    int ready = ::poll(fds.data(), fds.size(), kPollMs);
    if (ready <= 0) continue;
    if (fds[0].revents & POLLIN) Accept();
    // Connections accepted just now have no entry in "fds" yet.
    std::vector<Connection> kept;
    for (std::size_t i = 0; i < connections_.size(); ++i) {
      Connection& connection = connections_[i];
      bool open = true;
      if (i + 1 < fds.size() && fds[i + 1].revents != 0) {
        open = Read(connection);
      }
      if (open) {
        kept.push_back(std::move(connection));
      } else {
        if (connection.fd >= 0) ::close(connection.fd);
        ClosedConnections(1);
      }
    }
    connections_ = std::move(kept);
  }
  for (const Connection& connection : connections_) ::close(connection.fd);
  ClosedConnections(static_cast<int>(connections_.size()));
  connections_.clear();
  ::close(listener_);
  listener_ = -1;
}

void LoopbackService::ClosedConnections(int count) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    openConnections_ -= count;
  }
  connectionClosed_.notify_all();
}

void LoopbackService::Accept() {
  // The listener does not block: take every connection that is waiting, so
  // that a burst of connections never fills the backlog.
  for (;;) {
    int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR) continue;
      return;
    }
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    Connection connection;
    connection.fd = fd;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      connection.index = connectionCount_++;
    }
    connections_.push_back(std::move(connection));
    ++openConnections_;
  }
}

bool LoopbackService::WaitForOpenConnections(int count, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return connectionClosed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                    [&] { return openConnections_ <= count; });
}

bool LoopbackService::Read(Connection& connection) {
  char buffer[4096];
  ssize_t n;
  do {
    n = ::recv(connection.fd, buffer, sizeof(buffer), 0);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return false;
  connection.pending.append(buffer, static_cast<std::size_t>(n));
  for (;;) {
    std::size_t size = RequestSize(connection.pending);
    if (size == 0) return connection.pending.size() < kMaxPending;
    std::string request = connection.pending.substr(0, size);
    connection.pending.erase(0, size);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++requestCount_;
      if (keepRequests_) requests_.push_back({connection.index, request});
    }
    if (connection.silent) continue;
    if (!Play(connection, NextStep(request))) return false;
  }
}

LoopbackService::Step LoopbackService::NextStep(const std::string& request) {
  Responder responder;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!script_.empty()) {
      Step step = std::move(script_.front());
      script_.pop_front();
      return step;
    }
    responder = responder_;
  }
  return responder ? responder(request) : Close();
}

bool LoopbackService::PauseUnlessStopped() {
  std::unique_lock<std::mutex> lock(mutex_);
  return !holdChanged_.wait_for(lock, std::chrono::milliseconds(piecePauseMs_),
                                [&] { return stop_.load(); });
}

bool LoopbackService::WaitForHeldStep(int timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return holdChanged_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                               [&] { return holding_; });
}

void LoopbackService::Release() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
  }
  holdChanged_.notify_all();
}

bool LoopbackService::Play(Connection& connection, const Step& step) {
  if (step.held) {
    std::unique_lock<std::mutex> lock(mutex_);
    holding_ = true;
    holdChanged_.notify_all();
    holdChanged_.wait(lock, [&] { return released_ || stop_; });
    if (stop_) return false;
  }
  switch (step.kind) {
    case Step::Kind::kAnswer:
    case Step::Kind::kAnswerThenClose:
      for (std::size_t i = 0; i < step.pieces.size(); ++i) {
        if (i > 0 && !PauseUnlessStopped()) return false;
        if (!SendAll(connection.fd, step.pieces[i])) return false;
        if (i == 0 && step.fillerSize > 0 &&
            !SendFiller(connection.fd, step.filler, step.fillerSize)) {
          return false;
        }
      }
      return step.kind == Step::Kind::kAnswer;
    case Step::Kind::kClose:
      return false;
    case Step::Kind::kReset: {
      // A zero linger time makes close() send RST instead of FIN.
      linger abort{1, 0};
      ::setsockopt(connection.fd, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
      return false;
    }
    case Step::Kind::kNeverAnswer:
      connection.silent = true;
      return true;
  }
  return false;
}

bool LoopbackService::SendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    pollfd pfd{fd, POLLOUT, 0};
    int ready = ::poll(&pfd, 1, kSendWaitMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || stop_) return false;
    ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool LoopbackService::SendFiller(int fd, char filler, std::size_t size) {
  const std::string chunk(std::size_t{64} << 10, filler);
  while (size > 0) {
    std::size_t n = std::min(size, chunk.size());
    if (!SendAll(fd, std::string_view(chunk).substr(0, n))) return false;
    size -= n;
  }
  return true;
}

RefusingPort::RefusingPort() {
  fd_ = BoundSocket(&port_);
  if (fd_ < 0) throw std::runtime_error("cannot bind on 127.0.0.1");
}

RefusingPort::~RefusingPort() { ::close(fd_); }

UnansweredPort::UnansweredPort() {
  fd_ = BoundSocket(&port_);
  if (fd_ < 0 || ::listen(fd_, 1024) != 0) {
    if (fd_ >= 0) ::close(fd_);
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
}

UnansweredPort::~UnansweredPort() { ::close(fd_); }

FullBacklogPort::FullBacklogPort() {
  // With a backlog of 0 the kernel queues one established connection; while
  // that one waits to be accepted, every further SYN is dropped. The listener
  // turns readable once the connection is queued, and TCP_INFO of a listener
  // gives the queue's length ("unacked") and limit ("sacked"): the port is
  // known to be full without waiting to see whether a connection goes
  // unanswered.
  fd_ = BoundSocket(&port_);
  if (fd_ < 0 || ::listen(fd_, 0) != 0) {
    if (fd_ >= 0) ::close(fd_);
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port_);
  int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (client >= 0) {
    held_.push_back(client);
    if (::connect(client, reinterpret_cast<sockaddr*>(&address),
                  sizeof(address)) == 0 ||
        errno == EINPROGRESS) {
      pollfd queued{fd_, POLLIN, 0};
      int ready;
      do {
        ready = ::poll(&queued, 1, kSendWaitMs);
      } while (ready < 0 && errno == EINTR);
      tcp_info queue{};
      socklen_t length = sizeof(queue);
      if (ready == 1 &&
          ::getsockopt(fd_, IPPROTO_TCP, TCP_INFO, &queue, &length) == 0 &&
          queue.tcpi_unacked > queue.tcpi_sacked) {
        return;
      }
    }
  }
  for (int fd : held_) ::close(fd);
  ::close(fd_);
  throw std::runtime_error("cannot fill the accept queue");
}

FullBacklogPort::~FullBacklogPort() {
  for (int fd : held_) ::close(fd);
  ::close(fd_);
}

int CurrentThreadId() { return static_cast<int>(::syscall(SYS_gettid)); }

bool WaitUntilAsleep(int threadId, int timeoutMs) {
  const std::string path =
      "/proc/self/task/" + std::to_string(threadId) + "/stat";
  for (int waited = 0; waited <= timeoutMs; ++waited) {
    std::ifstream stat(path);
    std::string text((std::istreambuf_iterator<char>(stat)),
                     std::istreambuf_iterator<char>());
    // "<tid> (<name>) <state> ...": the name may hold anything but ends at
    // the last parenthesis.
    std::size_t nameEnd = text.rfind(')');
    if (nameEnd != std::string::npos && nameEnd + 2 < text.size() &&
        text[nameEnd + 2] == 'S') {
      return true;
    }
    ::poll(nullptr, 0, 1);
  }
  return false;
}

int OpenDescriptorCount() {
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int count = 0;
  while (dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count - 1;  // the listing's own descriptor
}

std::size_t ResidentBytes() { return StatusBytes("VmRSS:"); }
std::size_t PeakResidentBytes() { return StatusBytes("VmHWM:"); }

}  // namespace ostrivel::testing
