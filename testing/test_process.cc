#include "testing/test_process.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstring>

namespace ostrivel::tools::testing {
namespace {

// Waits until "fd" is readable or has ended; false when the time passed.
bool WaitReadable(int fd, int timeoutMs) {
  pollfd entry{fd, POLLIN, 0};
  for (;;) {
    int ready = ::poll(&entry, 1, timeoutMs);
    if (ready < 0 && errno == EINTR) continue;
    return ready > 0;
  }
}

// One read; the number of bytes, 0 at the end, -1 on error or time-out.
long ReadSome(int fd, std::string* out, int timeoutMs) {
  if (!WaitReadable(fd, timeoutMs)) return -1;
  char chunk[4096];
  for (;;) {
    ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got > 0) out->append(chunk, static_cast<std::size_t>(got));
    return got;
  }
}

bool WriteAll(int fd, std::string_view bytes, bool socket) {
  while (!bytes.empty()) {
    ssize_t sent = socket ? ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL)
                          : ::write(fd, bytes.data(), bytes.size());
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

void CloseFd(int* fd) {
  if (*fd >= 0) ::close(*fd);
  *fd = -1;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool ChildProcess::Start(const std::vector<std::string>& argv,
                         const std::vector<std::string>& environment) {
  process::LaunchOptions options;
  for (const std::string& variable : environment) {
    std::size_t equals = variable.find('=');
    options.environment.emplace_back(variable.substr(0, equals),
                                     equals == std::string::npos
                                         ? std::string()
                                         : variable.substr(equals + 1));
  }
  options.input = process::Stream::kPipe;
  options.output = process::Stream::kPipe;
  options.errors = process::Stream::kPipe;
  std::string error;
  return process_.Start(argv, options, &error);
}

std::optional<std::string> ChildProcess::ReadLine(int timeoutMs) {
  auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    std::size_t lf = pendingOutput_.find('\n');
    if (lf != std::string::npos) {
      std::string line = pendingOutput_.substr(0, lf);
      pendingOutput_.erase(0, lf + 1);
      return line;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    if (ReadSome(process_.output(), &pendingOutput_,
                 static_cast<int>(left.count())) <= 0) {
      return std::nullopt;
    }
  }
}

std::string ChildProcess::ReadAllErrors(int timeoutMs) {
  std::string text;
  while (ReadSome(process_.errors(), &text, timeoutMs) > 0) {
  }
  return text;
}

bool ChildProcess::Write(std::string_view text) {
  return WriteAll(process_.input(), text, false);
}

std::optional<int> ChildProcess::Wait(int timeoutMs) {
  std::optional<int> status = process_.Wait(timeoutMs);
  if (!status && process_.pid() > 0) {
    process_.Signal(SIGKILL);
    process_.Wait(-1);
  }
  return status;
}

std::optional<std::string> HttpAnswer::Header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (SameName(key, name)) return value;
  }
  return std::nullopt;
}

HttpClient::~HttpClient() { CloseFd(&socket_); }

bool HttpClient::Connect(std::uint16_t port) {
  socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (socket_ < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return ::connect(socket_, reinterpret_cast<sockaddr*>(&address),
                   sizeof address) == 0;
}

bool HttpClient::Send(std::string_view bytes) {
  return WriteAll(socket_, bytes, true);
}

bool HttpClient::Fill(int timeoutMs) {
  return ReadSome(socket_, &buffer_, timeoutMs) > 0;
}

std::optional<HttpAnswer> HttpClient::Receive(int timeoutMs) {
  std::size_t end;
  while ((end = buffer_.find("\r\n\r\n")) == std::string::npos) {
    if (!Fill(timeoutMs)) return std::nullopt;
  }
  HttpAnswer answer;
  std::string head = buffer_.substr(0, end + 2);
  std::size_t lineEnd = head.find("\r\n");
  std::string statusLine = head.substr(0, lineEnd);
  std::size_t blank = statusLine.find(' ');
  if (blank != std::string::npos) {
    answer.status = std::atoi(statusLine.c_str() + blank + 1);
  }
  for (std::size_t start = lineEnd + 2; start < head.size();) {
    std::size_t next = head.find("\r\n", start);
    std::string line = head.substr(start, next - start);
    std::size_t colon = line.find(':');
    std::string value =
        colon == std::string::npos ? "" : line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(' '));
    answer.headers.emplace_back(line.substr(0, colon), value);
    start = next + 2;
  }
  buffer_.erase(0, end + 4);
  if (auto length = answer.Header("Content-Length")) {
    answer.contentLength = std::stoul(*length);
    while (buffer_.size() < *answer.contentLength) {
      if (!Fill(timeoutMs)) return std::nullopt;
    }
    answer.body = buffer_.substr(0, *answer.contentLength);
    buffer_.erase(0, *answer.contentLength);
  }
  return answer;
}

bool HttpClient::WaitForClose(int timeoutMs) {
  for (;;) {
    if (!WaitReadable(socket_, timeoutMs)) return false;
    char chunk[4096];
    ssize_t got = ::recv(socket_, chunk, sizeof chunk, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return true;  // closed, or reset
  }
}

std::string LibraryRequest(std::uint16_t port, std::string_view body) {
  std::string request = "POST http://127.0.0.1:" + std::to_string(port) +
                        " HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                        "Content-Encoding: identity\r\n"
                        "Content-Type: application/json\r\n"
                        "Content-Length: " +
                        std::to_string(body.size()) + "\r\n\r\n";
  request += body;
  return request;
}

std::string ActionRequest(std::uint16_t port, std::string_view action) {
  return LibraryRequest(port, "{\"action\":\"" + std::string(action) + "\"}");
}

ProgramRun RunProgram(const std::vector<std::string>& argv,
                      const std::vector<std::string>& environment) {
  ChildProcess child;
  ProgramRun run;
  if (!child.Start(argv, environment)) return run;
  while (auto line = child.ReadLine()) run.output += *line + "\n";
  run.errors = child.ReadAllErrors();
  run.exitCode = ExitCode(child.Wait().value_or(-1));
  return run;
}

}  // namespace ostrivel::tools::testing
