#include "tools/collection_service/collection_service.h"

#include <signal.h>

#include <cerrno>
#include <chrono>
#include <deque>
#include <list>
#include <optional>
#include <utility>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "formats/method_catalog.h"
#include "tools/collection_service/answers.h"

namespace ostrivel::collection {
namespace {

using formats::LoadMethodCatalog;

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
using tcp = boost::asio::ip::tcp;
using std::chrono::steady_clock;

// The library's requests are a few hundred bytes; anything far beyond is no
// request of ours.
constexpr std::uint32_t kHeaderLimit = 16384;
constexpr std::uint64_t kBodyLimit = 65536;
constexpr std::size_t kFirstRead = 4096;

// Long enough for a few descriptors to come free, short enough that a
// harness waiting in the backlog hardly notices.
constexpr auto kAcceptRetry = std::chrono::milliseconds(100);
constexpr auto kLineInterval = std::chrono::seconds(1);

std::string EndpointText(const tcp::endpoint& endpoint) {
  std::string address = endpoint.address().to_string();
  if (endpoint.address().is_v6()) address = "[" + address + "]";
  return address + ":" + std::to_string(endpoint.port());
}

// "30 s", "1.5 s".
std::string SecondsText(std::chrono::milliseconds duration) {
  auto count = duration.count();
  std::string text = std::to_string(count / 1000);
  if (count % 1000 != 0) {
    std::string millis = std::to_string(1000 + count % 1000).substr(1);
    millis.erase(millis.find_last_not_of('0') + 1);
    text += "." + millis;
  }
  return text + " s";
}

bool SameTextIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) {
      return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
    text.remove_prefix(1);
  }
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
    text.remove_suffix(1);
  }
  return text;
}

// "application/json", in any case, perhaps with parameters.
bool IsJsonMediaType(std::string_view contentType) {
  return SameTextIgnoringCase(
      Trimmed(contentType.substr(0, contentType.find(';'))),
      "application/json");
}

// ":" and decimal digits.
bool IsPortSuffix(std::string_view text) {
  if (text.empty() || text.front() != ':') return false;
  for (char c : text.substr(1)) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// A browser resolves a name of the attacker's to 127.0.0.1 (DNS rebinding)
// but still sends that name, so only names that mean this machine pass.
// The library sends its host name without a port, an IPv6 address without
// brackets.
bool IsLocalHost(std::string_view host,
                 const std::vector<std::string>& allowed) {
  std::string_view name = host;
  if (!name.empty() && name.front() == '[') {
    std::size_t close = name.find(']');
    if (close == std::string_view::npos) return false;
    std::string_view rest = name.substr(close + 1);
    if (!rest.empty() && !IsPortSuffix(rest)) return false;
    name = name.substr(1, close - 1);
  } else if (std::size_t colon = name.find(':');
             colon != std::string_view::npos && colon == name.rfind(':')) {
    if (!IsPortSuffix(name.substr(colon))) return false;
    name = name.substr(0, colon);
  }
  if (name.empty()) return false;
  if (SameTextIgnoringCase(name, "localhost")) return true;
  for (const std::string& entry : allowed) {
    if (SameTextIgnoringCase(name, entry)) return true;
  }
  beast::error_code ec;
  asio::ip::address address = asio::ip::make_address(std::string(name), ec);
  if (ec) return false;
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
  }
  return address.is_loopback();
}

// Lets one line a second through and counts the ones held back, so that a
// flood of connections or failures cannot flood the log.
class LineThrottle {
 public:
  // True when a line may be written now; "*suffix" is then what to append
  // to it about the lines held back since the last one.
  bool Allow(std::string* suffix) {
    steady_clock::time_point now = steady_clock::now();
    if (written_ && now - last_ < kLineInterval) {
      ++held_;
      return false;
    }
    written_ = true;
    last_ = now;
    suffix->clear();
    if (held_ > 0) {
      *suffix = " (" + std::to_string(held_) +
                " more such line(s) left out in the last second)";
    }
    held_ = 0;
    return true;
  }

 private:
  bool written_ = false;
  steady_clock::time_point last_;
  std::uint64_t held_ = 0;
};

// The service's log as one slot writes to it: with several slots, every
// line of a slot names it, so that one test's lines can be followed.
class SlotLog {
 public:
  SlotLog(ServiceLog* log, std::string prefix)
      : log_(log), prefix_(std::move(prefix)) {}
  void Info(std::string_view message) { log_->Info(Prefixed(message)); }
  void Error(std::string_view message) { log_->Error(Prefixed(message)); }

 private:
  std::string Prefixed(std::string_view message) const {
    return prefix_ + std::string(message);
  }

  ServiceLog* log_;
  std::string prefix_;
};

class Session;

// What the connections of one slot share: its counters, its test owner,
// its limits.
struct Shared {
  Shared(ServiceLog* serviceLog, std::string prefix)
      : log(serviceLog, std::move(prefix)) {}

  SlotLog log;
  ServiceOptions options;
  std::string channel;     // the slot's, see SlotChannel()
  bool checkHost = false;  // listening on a loopback address
  CounterTable counters;
  TestOwner owner;
  std::list<Session*> sessions;  // the open connections, oldest first
  std::uint64_t nextConnection = 1;
  LineThrottle shedLines;
  LineThrottle acceptLines;
};

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket socket, Shared* shared)
      : stream_(std::move(socket)),
        shared_(shared),
        connection_(shared->nextConnection++) {}
  ~Session() {
    try {
      Close();
    } catch (...) {  // no memory for a log line; the stream still closes
    }
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  void Start() {
    beast::error_code ec;
    tcp::endpoint remote = stream_.socket().remote_endpoint(ec);
    peer_ = ec ? std::string("an unknown peer") : EndpointText(remote);
    shared_->log.Info("connection from " + peer_);
    position_ = shared_->sessions.insert(shared_->sessions.end(), this);
    open_ = true;
    // The library sends its first request as soon as it has connected.
    stream_.expires_after(shared_->options.requestTimeout);
    Read();
  }

  // True once a request of this connection passed the checks: a harness's
  // connection, which is never closed to make room.
  bool served() const { return served_; }
  const std::string& peer() const { return peer_; }

  // Closes the connection; its pending operations end as aborted. Safe to
  // call more than once.
  void Close() {
    if (open_) {
      open_ = false;
      shared_->sessions.erase(position_);
      if (shared_->owner.connection == connection_) {
        shared_->owner.connection.reset();
        shared_->log.Info("the test opened by " + peer_ +
                          " ends with its connection");
      }
    }
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
    stream_.close();
  }

 private:
  // Between requests: wait for the next one's first bytes, for the idle
  // time at most, then give the whole request the request time.
  void AwaitRequest() {
    if (buffer_.size() > 0) {  // sent together with the previous one
      stream_.expires_after(shared_->options.requestTimeout);
      Read();
      return;
    }
    stream_.expires_after(shared_->options.idleTimeout);
    stream_.async_read_some(
        buffer_.prepare(kFirstRead),
        [self = shared_from_this()](beast::error_code ec, std::size_t size) {
          self->OnFirstBytes(ec, size);
        });
  }

  void OnFirstBytes(beast::error_code ec, std::size_t size) {
    if (ec == beast::error::timeout) {
      shared_->log.Info("connection from " + peer_ + " closed: idle for " +
                        SecondsText(shared_->options.idleTimeout));
      Close();
      return;
    }
    if (Ended(ec)) return;
    buffer_.commit(size);
    stream_.expires_after(shared_->options.requestTimeout);
    Read();
  }

  // True when "ec" ends the connection, which is then closed.
  bool Ended(beast::error_code ec) {
    if (!ec) return false;
    if (ec == asio::error::operation_aborted) return true;
    if (ec == http::error::end_of_stream || ec == asio::error::eof ||
        ec == asio::error::connection_reset) {
      shared_->log.Info("connection from " + peer_ + " closed");
    } else {
      shared_->log.Error("connection from " + peer_ +
                         " closed: " + ec.message());
    }
    Close();
    return true;
  }

  void Read() {
    parser_.emplace();
    parser_->header_limit(kHeaderLimit);
    parser_->body_limit(kBodyLimit);
    http::async_read(
        stream_, buffer_, *parser_,
        [self = shared_from_this()](beast::error_code ec, std::size_t) {
          self->OnRead(ec);
        });
  }

  void OnRead(beast::error_code ec) {
    if (ec == beast::error::timeout) {
      shared_->log.Info("connection from " + peer_ +
                        " closed: no whole request within " +
                        SecondsText(shared_->options.requestTimeout));
      Close();
      return;
    }
    if (ec == http::error::end_of_stream || ec == asio::error::eof ||
        ec == asio::error::connection_reset) {
      Ended(ec);
      return;
    }
    if (ec == asio::error::operation_aborted) return;
    if (ec) {
      // The framing is broken, so where the next request starts is unknown:
      // answer and close.
      std::string message = "malformed HTTP request: " + ec.message();
      shared_->log.Error(peer_ + ": refused: " + message);
      Respond(http::status::bad_request, ErrorBody(message), 11, false);
      return;
    }
    const auto& request = parser_->get();
    if (request.method() != http::verb::post) {
      std::string message = "only POST requests are served";
      shared_->log.Error(peer_ + ": refused: " + message);
      Respond(http::status::bad_request, ErrorBody(message), request.version(),
              request.keep_alive());
      return;
    }
    if (std::optional<std::string> refusal = Foreign(request)) {
      shared_->log.Error(peer_ + ": refused: " + *refusal);
      Respond(http::status::forbidden, ErrorBody(*refusal), request.version(),
              request.keep_alive());
      return;
    }
    served_ = true;
    Answer answer =
        AnswerRequest(request.body(), connection_, &shared_->owner,
                      &shared_->counters, FormatTimestamp(AnswerClockNow()));
    if (answer.failed) {
      shared_->log.Error(peer_ + ": " + answer.logLine);
    } else {
      shared_->log.Info(peer_ + ": " + answer.logLine);
    }
    Respond(static_cast<http::status>(answer.status), std::move(answer.body),
            request.version(), request.keep_alive());
  }

  // Why "request" is no harness's request, or nothing when it is one. A
  // web page can send neither this Content-Type nor a request without
  // Origin to another origin without the browser asking first.
  std::optional<std::string> Foreign(
      const http::request<http::string_body>& request) const {
    if (auto origin = request.find(http::field::origin);
        origin != request.end()) {
      return "a request from a web page (Origin: " +
             std::string(origin->value()) + ") is not served";
    }
    auto type = request.find(http::field::content_type);
    if (type == request.end()) {
      return std::string("a request without a Content-Type is not served");
    }
    if (!IsJsonMediaType(type->value())) {
      return "a request of Content-Type \"" + std::string(type->value()) +
             "\" is not served: only application/json is";
    }
    if (!shared_->checkHost) return std::nullopt;
    if (request.count(http::field::host) != 1) {
      return std::string("a request without exactly one Host is not served");
    }
    std::string_view host = request[http::field::host];
    if (!IsLocalHost(host, shared_->options.allowedHosts)) {
      return "the Host \"" + std::string(host) +
             "\" does not name this machine (see --allow-host)";
    }
    return std::nullopt;
  }

  void Respond(http::status status, std::string body, unsigned version,
               bool keepAlive) {
    response_ = {};
    response_.result(status);
    response_.version(version);
    response_.set(http::field::server, "ostrivel-service");
    response_.set(http::field::content_type, "application/json");
    response_.keep_alive(keepAlive);
    response_.body() = std::move(body);
    response_.prepare_payload();
    // A peer that does not read its answers must not hold us either.
    stream_.expires_after(shared_->options.requestTimeout);
    http::async_write(
        stream_, response_,
        [self = shared_from_this()](beast::error_code ec, std::size_t) {
          self->OnWrite(ec);
        });
  }

  void OnWrite(beast::error_code ec) {
    if (ec) {
      if (ec != asio::error::operation_aborted) {
        shared_->log.Error("cannot answer " + peer_ + ": " + ec.message());
      }
      Close();
      return;
    }
    if (!response_.keep_alive()) {
      shared_->log.Info("connection from " + peer_ + " closed by the service");
      Close();
      return;
    }
    AwaitRequest();
  }

  beast::tcp_stream stream_;
  Shared* shared_;
  const std::uint64_t connection_;
  std::string peer_;
  bool open_ = false;
  bool served_ = false;
  std::list<Session*>::iterator position_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  http::response<http::string_body> response_;
};

bool OutOfDescriptors(beast::error_code ec) {
  return ec == asio::error::no_descriptors ||
         ec == boost::system::errc::too_many_files_open_in_system;
}

// The listening socket of one slot.
struct Listener {
  Listener(asio::io_context& io, Shared* slot)
      : shared(*slot), acceptor(io), retry(io) {}

  void Accept() {
    acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
      if (ec == asio::error::operation_aborted) return;
      if (ec) {
        AcceptFailed(ec);
        return;
      }
      Admit(std::move(socket));
      Accept();
    });
  }

  void AcceptFailed(beast::error_code ec) {
    // With descriptors gone, the listening socket stays readable: trying
    // again at once would spin. Shedding a connection that never delivered
    // a request frees one for a caller that may be a harness.
    if (OutOfDescriptors(ec) &&
        CloseOldestUnserved("no descriptor left (" + ec.message() + ")")) {
      Accept();
      return;
    }
    std::string suffix;
    if (shared.acceptLines.Allow(&suffix)) {
      shared.log.Error("cannot accept a connection: " + ec.message() +
                       "; trying again in 100 ms" + suffix);
    }
    retry.expires_after(kAcceptRetry);
    retry.async_wait([this](beast::error_code waited) {
      if (!waited) Accept();
    });
  }

  void Admit(tcp::socket socket) {
    if (shared.sessions.size() >= shared.options.maxConnections) {
      std::string reason = "connection limit (" +
                           std::to_string(shared.options.maxConnections) +
                           ") reached";
      if (!CloseOldestUnserved(reason)) {
        beast::error_code ec;
        tcp::endpoint remote = socket.remote_endpoint(ec);
        std::string suffix;
        if (shared.shedLines.Allow(&suffix)) {
          shared.log.Error(
              reason + ": refused the connection from " +
              (ec ? std::string("an unknown peer") : EndpointText(remote)) +
              ", every open one is a harness's" + suffix);
        }
        socket.close(ec);
        return;
      }
    }
    std::make_shared<Session>(std::move(socket), &shared)->Start();
  }

  // Closes the oldest connection that has had no request served, with a
  // line that gives "reason". False when every open one has been served.
  bool CloseOldestUnserved(const std::string& reason) {
    Session* oldest = nullptr;
    for (Session* session : shared.sessions) {
      if (!session->served()) {
        oldest = session;
        break;
      }
    }
    if (oldest == nullptr) return false;
    std::string suffix;
    if (shared.shedLines.Allow(&suffix)) {
      shared.log.Error(
          reason + ": closed the connection from " + oldest->peer() +
          ", which had sent no request, to take a new one" + suffix);
    }
    oldest->Close();
    return true;
  }

  Shared& shared;
  tcp::acceptor acceptor;
  asio::steady_timer retry;
  tcp::endpoint bound;
};

}  // namespace

std::string SlotChannel(const std::string& channel, std::size_t slot,
                        std::size_t slots) {
  if (slots <= 1) return channel;
  return channel + "." + std::to_string(slot);
}

struct CollectionService::Impl {
  explicit Impl(ServiceLog* serviceLog) : log(serviceLog) {}

  ServiceLog* log;
  // The sessions that the context's pending handlers hold point into the
  // slots' shared state, so it is declared before the context and outlives
  // it; the listeners go before the context.
  std::deque<Shared> slots;
  asio::io_context io{1};
  std::deque<Listener> listeners;
  std::optional<asio::signal_set> signals;
};

CollectionService::CollectionService(ServiceLog* log)
    : impl_(std::make_unique<Impl>(log)) {}

CollectionService::~CollectionService() {
  // Handlers still queued hold the sessions; destroying them with the
  // context closes the connections, and only then do the segments go.
  beast::error_code ignored;
  for (Listener& listener : impl_->listeners) listener.acceptor.close(ignored);
  impl_->signals.reset();
  impl_->io.stop();
  impl_.reset();
}

bool CollectionService::Start(const ServiceOptions& options,
                              std::string* error) {
  if (options.slots < 1 || options.slots > kMaxSlots) {
    *error = "the number of slots must be 1 to " + std::to_string(kMaxSlots) +
             ", not " + std::to_string(options.slots);
    return false;
  }
  if (options.port != 0 && options.port + (options.slots - 1) > 65535) {
    *error = std::to_string(options.slots) + " slots need the ports " +
             std::to_string(options.port) + " to " +
             std::to_string(options.port + options.slots - 1) +
             ", beyond the last port, 65535";
    return false;
  }
  MethodCatalog catalog;
  if (!LoadMethodCatalog(options.methodsDirectory, &catalog, error)) {
    return false;
  }
  ServiceLog& log = *impl_->log;
  for (const std::string& problem : catalog.problems) {
    log.Error("method list skipped: " + problem);
  }
  if (catalog.applications.empty()) {
    log.Error("no method list in \"" + options.methodsDirectory +
              "\": answers to ASK will name no application");
  }
  for (std::size_t i = 0; i < options.slots; ++i) {
    std::string prefix =
        options.slots > 1 ? "slot " + std::to_string(i) + ": " : "";
    Shared& slot = impl_->slots.emplace_back(impl_->log, prefix);
    slot.options = options;
    slot.channel = SlotChannel(options.channel, i, options.slots);
    SlotLog* slotLog = &slot.log;
    slot.counters.ReportProfileProblemsTo(
        [slotLog](const std::string& line) { slotLog->Error(line); });
    std::vector<std::string> notes;
    if (!slot.counters.Create(slot.channel, catalog, error, &notes)) {
      error->insert(0, prefix);
      return false;
    }
    for (const std::string& note : notes) slot.log.Info(note);
  }
  for (const auto& [application, lines] : catalog.applications) {
    log.Info("application \"" + application +
             "\": " + std::to_string(lines.size()) + " method(s)");
  }

  beast::error_code ec;
  asio::ip::address address = asio::ip::make_address(options.host, ec);
  tcp::endpoint endpoint;
  if (!ec) {
    endpoint = tcp::endpoint(address, options.port);
  } else {
    tcp::resolver resolver(impl_->io);
    auto results = resolver.resolve(options.host, std::to_string(options.port),
                                    tcp::resolver::passive, ec);
    if (ec || results.empty()) {
      *error = "cannot resolve the host \"" + options.host +
               "\": " + (ec ? ec.message() : std::string("no address"));
      return false;
    }
    endpoint = results.begin()->endpoint();
  }
  // Every slot listens before any is served, so that a taken port ends the
  // start and no harness is ever served by half a service.
  for (Shared& slot : impl_->slots) {
    Listener& listener = impl_->listeners.emplace_back(impl_->io, &slot);
    if (options.port != 0) {
      endpoint.port(static_cast<std::uint16_t>(options.port +
                                               impl_->listeners.size() - 1));
    }
    std::string where = EndpointText(endpoint);
    auto& acceptor = listener.acceptor;
    if (acceptor.open(endpoint.protocol(), ec) ||
        acceptor.set_option(asio::socket_base::reuse_address(true), ec) ||
        acceptor.bind(endpoint, ec) ||
        acceptor.listen(asio::socket_base::max_listen_connections, ec)) {
      *error =
          (options.slots > 1
               ? "slot " + std::to_string(impl_->listeners.size() - 1) + ": "
               : std::string()) +
          "cannot listen on " + where + ": " + ec.message();
      acceptor.close(ec);
      return false;
    }
    listener.bound = acceptor.local_endpoint(ec);
    slot.checkHost = listener.bound.address().is_loopback();
    slot.log.Info("listening on " + EndpointText(listener.bound) +
                  ", channel \"" + slot.channel + "\"");
  }
  for (Listener& listener : impl_->listeners) listener.Accept();
  return true;
}

std::size_t CollectionService::slots() const { return impl_->listeners.size(); }

std::string CollectionService::Endpoint(std::size_t slot) const {
  return EndpointText(impl_->listeners.at(slot).bound);
}

std::string CollectionService::Address(std::size_t slot) const {
  return impl_->listeners.at(slot).bound.address().to_string();
}

std::uint16_t CollectionService::port(std::size_t slot) const {
  return impl_->listeners.at(slot).bound.port();
}

const std::string& CollectionService::Channel(std::size_t slot) const {
  return impl_->slots.at(slot).channel;
}

void CollectionService::StopOnSignals() {
  impl_->signals.emplace(impl_->io, SIGINT, SIGTERM);
  impl_->signals->async_wait([this](beast::error_code ec, int signal) {
    if (ec) return;
    impl_->log->Info(std::string("shutting down on ") +
                     (signal == SIGINT ? "SIGINT" : "SIGTERM"));
    impl_->io.stop();
  });
}

void CollectionService::Run() { impl_->io.run(); }

void CollectionService::Stop() { impl_->io.stop(); }

}  // namespace ostrivel::collection
