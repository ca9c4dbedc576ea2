#include "tools/collection_service/collection_service.h"

#include <signal.h>

#include <chrono>
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

// The library's requests are a few hundred bytes; anything far beyond is no
// request of ours.
constexpr std::uint32_t kHeaderLimit = 16384;
constexpr std::uint64_t kBodyLimit = 65536;

std::string EndpointText(const tcp::endpoint& endpoint) {
  std::string address = endpoint.address().to_string();
  if (endpoint.address().is_v6()) address = "[" + address + "]";
  return address + ":" + std::to_string(endpoint.port());
}

struct Shared {
  ServiceLog* log;
  CounterTable counters;
};

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket socket, Shared* shared)
      : socket_(std::move(socket)), shared_(shared) {}

  void Start() {
    beast::error_code ec;
    tcp::endpoint remote = socket_.remote_endpoint(ec);
    peer_ = ec ? std::string("an unknown peer") : EndpointText(remote);
    shared_->log->Info("connection from " + peer_);
    Read();
  }

 private:
  void Read() {
    parser_.emplace();
    parser_->header_limit(kHeaderLimit);
    parser_->body_limit(kBodyLimit);
    http::async_read(
        socket_, buffer_, *parser_,
        [self = shared_from_this()](beast::error_code ec, std::size_t) {
          self->OnRead(ec);
        });
  }

  void OnRead(beast::error_code ec) {
    if (ec == http::error::end_of_stream || ec == asio::error::eof ||
        ec == asio::error::connection_reset) {
      shared_->log->Info("connection from " + peer_ + " closed");
      Close();
      return;
    }
    if (ec == asio::error::operation_aborted) return;
    if (ec) {
      // The framing is broken, so where the next request starts is unknown:
      // answer and close.
      std::string message = "malformed HTTP request: " + ec.message();
      shared_->log->Error(peer_ + ": refused: " + message);
      Respond(http::status::bad_request, ErrorBody(message), 11, false);
      return;
    }
    const auto& request = parser_->get();
    if (request.method() != http::verb::post) {
      std::string message = "only POST requests are served";
      shared_->log->Error(peer_ + ": refused: " + message);
      Respond(http::status::bad_request, ErrorBody(message), request.version(),
              request.keep_alive());
      return;
    }
    Answer answer = AnswerRequest(request.body(), &shared_->counters,
                                  FormatTimestamp(AnswerClockNow()));
    if (answer.failed) {
      shared_->log->Error(peer_ + ": " + answer.logLine);
    } else {
      shared_->log->Info(peer_ + ": " + answer.logLine);
    }
    Respond(static_cast<http::status>(answer.status), std::move(answer.body),
            request.version(), request.keep_alive());
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
    http::async_write(
        socket_, response_,
        [self = shared_from_this()](beast::error_code ec, std::size_t) {
          self->OnWrite(ec);
        });
  }

  void OnWrite(beast::error_code ec) {
    if (ec) {
      if (ec != asio::error::operation_aborted) {
        shared_->log->Error("cannot answer " + peer_ + ": " + ec.message());
      }
      Close();
      return;
    }
    if (!response_.keep_alive()) {
      shared_->log->Info("connection from " + peer_ + " closed by the service");
      Close();
      return;
    }
    Read();
  }

  void Close() {
    beast::error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
  }

  tcp::socket socket_;
  Shared* shared_;
  std::string peer_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  http::response<http::string_body> response_;
};

}  // namespace

struct CollectionService::Impl {
  explicit Impl(ServiceLog* log) : shared{log, {}} {}

  void Accept() {
    acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
      if (ec == asio::error::operation_aborted) return;
      if (ec) {
        // Running out of descriptors, for instance: keep serving the
        // connections that stand and try again.
        shared.log->Error("cannot accept a connection: " + ec.message());
      } else {
        std::make_shared<Session>(std::move(socket), &shared)->Start();
      }
      Accept();
    });
  }

  // The sessions that the context's pending handlers hold point into
  // "shared", so it is declared before the context and outlives it.
  Shared shared;
  asio::io_context io{1};
  tcp::acceptor acceptor{io};
  std::optional<asio::signal_set> signals;
  tcp::endpoint bound;
};

CollectionService::CollectionService(ServiceLog* log)
    : impl_(std::make_unique<Impl>(log)) {}

CollectionService::~CollectionService() {
  // Handlers still queued hold the sessions; destroying them with the
  // context closes the connections, and only then do the segments go.
  beast::error_code ignored;
  impl_->acceptor.close(ignored);
  impl_->signals.reset();
  impl_->io.stop();
  impl_.reset();
}

bool CollectionService::Start(const ServiceOptions& options,
                              std::string* error) {
  MethodCatalog catalog;
  if (!LoadMethodCatalog(options.methodsDirectory, &catalog, error)) {
    return false;
  }
  ServiceLog& log = *impl_->shared.log;
  for (const std::string& problem : catalog.problems) {
    log.Error("method list skipped: " + problem);
  }
  if (catalog.applications.empty()) {
    log.Error("no method list in \"" + options.methodsDirectory +
              "\": answers to ASK will name no application");
  }
  std::vector<std::string> notes;
  if (!impl_->shared.counters.Create(options.channel, catalog, error, &notes)) {
    return false;
  }
  for (const std::string& note : notes) log.Info(note);
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
  std::string where = EndpointText(endpoint);
  auto& acceptor = impl_->acceptor;
  if (acceptor.open(endpoint.protocol(), ec) ||
      acceptor.set_option(asio::socket_base::reuse_address(true), ec) ||
      acceptor.bind(endpoint, ec) ||
      acceptor.listen(asio::socket_base::max_listen_connections, ec)) {
    *error = "cannot listen on " + where + ": " + ec.message();
    acceptor.close(ec);
    return false;
  }
  impl_->bound = acceptor.local_endpoint(ec);
  log.Info("listening on " + EndpointText(impl_->bound) + ", channel \"" +
           options.channel + "\"");
  impl_->Accept();
  return true;
}

std::string CollectionService::Endpoint() const {
  return EndpointText(impl_->bound);
}

std::uint16_t CollectionService::port() const { return impl_->bound.port(); }

void CollectionService::StopOnSignals() {
  impl_->signals.emplace(impl_->io, SIGINT, SIGTERM);
  impl_->signals->async_wait([this](beast::error_code ec, int signal) {
    if (ec) return;
    impl_->shared.log->Info(std::string("shutting down on ") +
                            (signal == SIGINT ? "SIGINT" : "SIGTERM"));
    impl_->io.stop();
  });
}

void CollectionService::Run() { impl_->io.run(); }

void CollectionService::Stop() { impl_->io.stop(); }

}  // namespace ostrivel::collection
