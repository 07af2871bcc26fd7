// Built on Boost.Beast over Asio: one thread, every socket asynchronous, so a
// client that trickles or stops reading holds nothing but its own connection
// and its own deadline. The HTTP library used before gave each connection a
// thread of a fixed pool, timed each read rather than the request, could not
// bound the number of header fields, read request bodies whole and answered
// multi-range requests with one copy of the file per range; measured on it:
// 612 MB for one 8 KB multi-range request, 20 trickling clients leaving
// /metrics unanswered and holding the stop. Beast's parser takes a limit for
// the head, never reads a body we do not ask for, and its headers and Asio's
// build with MinGW for the Windows wexread too.
#include "web_server.h"

// clang-format off
#include <utility>  // before Asio, whose headers use std::exchange without it
// clang-format on

#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <nlohmann/json.hpp>
#include <charconv>
#include <deque>
#include <functional>
#include <limits>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string_view>
#include <thread>
#include <vector>

#include "event_hub.h"
#include "history.h"
#include "output.h"
#include "web_assets.h"

namespace wexread {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using error_code = boost::system::error_code;
using namespace std::chrono_literals;

// Rows a page may fall behind by before it is dropped (its browser then
// reconnects): minutes of rows at any row period.
constexpr std::size_t kPageQueueRows = 256;
// A comment on an idle event stream keeps proxies from closing it.
constexpr auto kStreamHeartbeat = 10s;
// After an error of accept (descriptors exhausted, say): try again soon, not at once.
constexpr auto kAcceptPause = 100ms;

// Every reply: no type guessing by the browser, no framing by another site,
// nothing loaded from elsewhere. The page itself uses no inline script or style.
constexpr char kPolicy[] = "default-src 'self'; frame-ancestors 'none'";
constexpr char kTextType[] = "text/plain; charset=utf-8";

bool IsLoopbackHost(const std::string& host) {
  error_code ec;
  const auto address = asio::ip::make_address(host, ec);
  return !ec && address.is_loopback();
}

// The Host field without its port: "localhost", "127.0.0.1", "::1".
std::string HostName(std::string_view field) {
  if (!field.empty() && field.front() == '[') {
    const auto close = field.find(']');
    if (close == std::string_view::npos) return {};
    const auto rest = field.substr(close + 1);
    if (!rest.empty() && rest.front() != ':') return {};
    return std::string(field.substr(1, close - 1));
  }
  const auto colon = field.find(':');
  return std::string(field.substr(0, colon));
}

// minutes=N from the query; nullopt when it is there and not a number.
std::optional<int> MinutesParameter(std::string_view query, int fallback) {
  while (!query.empty()) {
    const auto amp = query.find('&');
    const auto pair = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    if (pair.substr(0, 8) != "minutes=") continue;
    const auto text = pair.substr(8);
    int minutes = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), minutes);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return minutes;
  }
  return fallback;
}

}  // namespace

class Connection;

class WebServer::Impl {
 public:
  Impl(const ListenAddress& address, const RunLayout& runLayout, std::chrono::milliseconds period,
       const WebLimits& webLimits);

  void Run() { io.run(); }
  void Shutdown();
  void WakePages();

  // The handlers, one per route; each fills `reply` (or starts a stream).
  // buffer_body: a declared body takes no memory, since it is never read.
  using Request = http::request<http::buffer_body>;
  using Reply = http::response<http::string_body>;
  void ServeMetrics(Reply& reply);
  void ServeAlarms(Reply& reply);
  void ServeHistory(int minutes, Reply& reply);
  static void ServeText(Reply& reply, http::status status, std::string text);

  // Registry of connections, used from the server's thread only.
  void Forget(Connection* connection);
  // The connections open, held while acting on them: one released in the
  // middle would leave the registry under the loop's feet.
  std::vector<std::shared_ptr<Connection>> Live() const;

  const WebLimits limits;
  const RunLayout layout;
  const std::chrono::milliseconds rowPeriod;
  const unsigned channels;
  std::string boundHost;
  bool checkHost = false;  // bound to loopback: only loopback names are served
  int port = 0;

  History history;
  EventHub hub;
  std::mutex expositionMutex;
  std::string exposition;
  std::string alarms = "{\"rules\":[],\"changes\":[]}";  // under expositionMutex
  std::string eventText;  // the reader's, reused for every event

  std::list<std::weak_ptr<Connection>> connections;  // oldest first
  std::map<asio::ip::address, std::size_t> perClient;
  std::size_t historyReplies = 0;
  std::atomic<bool> wakePending{false};

  // Declared last: destroyed first, with every handler still holding a
  // connection, while the registry above is still there.
  asio::io_context io{1};
  tcp::acceptor acceptor{io};
  asio::steady_timer acceptPause{io};
  bool stopping = false;
  std::thread thread;

 private:
  void Accept();
  void Admit(tcp::socket socket);
};

// One client connection: waits for a request (idle), reads its head within a
// deadline, answers, and either waits for the next one or, for /events,
// becomes a stream fed from the event hub.
class Connection : public std::enable_shared_from_this<Connection> {
 public:
  using Impl = WebServer::Impl;
  Connection(Impl& server, tcp::socket socket, asio::ip::address peer)
      : server_(server),
        socket_(std::move(socket)),
        timer_(server.io),
        buffer_(server.limits.headBytes * 2),
        peer_(std::move(peer)) {}
  ~Connection() {
    ReleaseHistory();
    if (client_) server_.hub.Leave(client_);
    server_.Forget(this);
  }

  void Start(std::list<std::weak_ptr<Connection>>::iterator place) {
    place_ = place;
    AwaitRequest();
  }
  void Close();
  void Pump();  // a stream: send what the hub has for this page

  const asio::ip::address& peer() const { return peer_; }
  bool waitingForRequest() const { return state_ == State::Idle || state_ == State::Head; }
  std::list<std::weak_ptr<Connection>>::iterator place() const { return place_; }

 private:
  enum class State { Idle, Head, Replying, Streaming, Closed };

  void Arm(std::chrono::milliseconds after, std::function<void()> action);
  void AwaitRequest();
  void ReadHead();
  void OnHead(const error_code& ec);
  void Route(const Impl::Request& request);
  void Send(Impl::Reply reply, bool head, bool close);
  template <class Message>
  void SendMessage(std::shared_ptr<Message> message);
  void SendAsset(const WebAsset& asset, bool head, bool close);
  void StartStream();
  void ReleaseHistory() {
    if (holdsHistory_) --server_.historyReplies;
    holdsHistory_ = false;
  }

  Impl& server_;
  tcp::socket socket_;
  asio::steady_timer timer_;
  unsigned timerGeneration_ = 0;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::buffer_body>> parser_;
  asio::ip::address peer_;
  std::list<std::weak_ptr<Connection>>::iterator place_;
  State state_ = State::Idle;
  bool holdsHistory_ = false;
  // A stream's state.
  std::shared_ptr<EventHub::Client> client_;
  std::string streamHead_;
  EventHub::Event sending_;
  bool writing_ = false;
  char probe_[64];
};

void Connection::Arm(std::chrono::milliseconds after, std::function<void()> action) {
  // The generation tells an expiry that was already on its way when the
  // timer was set again from the current one.
  const unsigned generation = ++timerGeneration_;
  timer_.expires_after(after);
  timer_.async_wait(
      [self = shared_from_this(), generation, action = std::move(action)](const error_code& ec) {
        if (ec || generation != self->timerGeneration_ || self->state_ == State::Closed) return;
        action();
      });
}

void Connection::Close() {
  if (state_ == State::Closed) return;
  state_ = State::Closed;
  error_code ignored;
  socket_.shutdown(tcp::socket::shutdown_both, ignored);
  socket_.close(ignored);
  timer_.cancel();
  ReleaseHistory();
  if (client_) {
    server_.hub.Leave(client_);
    client_.reset();
  }
}

void Connection::AwaitRequest() {
  if (buffer_.size() != 0) {
    ReadHead();  // the next request is here already
    return;
  }
  state_ = State::Idle;
  Arm(server_.limits.idle, [this] { Close(); });
  socket_.async_wait(tcp::socket::wait_read, [self = shared_from_this()](const error_code& ec) {
    if (self->state_ != State::Idle) return;
    if (ec) {
      self->Close();
      return;
    }
    self->ReadHead();
  });
}

void Connection::ReadHead() {
  state_ = State::Head;
  // From the first byte, the whole head must come within this time, however
  // slowly it trickles.
  Arm(server_.limits.headTime, [this] { Close(); });
  parser_.emplace();
  parser_->header_limit(static_cast<std::uint32_t>(server_.limits.headBytes));
  // Bodies are never read (the head decides, and the connection closes), so
  // a declared length is not refused here but by method or by being there.
  // (Not boost::none: this Beast compares a declared length against it as if
  // it were a limit of zero.)
  parser_->body_limit(std::numeric_limits<std::uint64_t>::max());
  http::async_read_header(
      socket_, buffer_, *parser_,
      [self = shared_from_this()](const error_code& ec, std::size_t) { self->OnHead(ec); });
}

void Connection::OnHead(const error_code& ec) {
  if (state_ != State::Head) return;
  if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
    Impl::Reply reply;
    Impl::ServeText(
        reply, http::status::request_header_fields_too_large,
        "request head larger than " + std::to_string(server_.limits.headBytes) + " bytes\n");
    Send(std::move(reply), false, true);
    return;
  }
  if (ec == http::error::end_of_stream || ec == asio::error::eof ||
      ec == asio::error::connection_reset || ec == asio::error::operation_aborted) {
    Close();
    return;
  }
  if (ec) {
    Impl::Reply reply;
    Impl::ServeText(reply, http::status::bad_request, "malformed request (" + ec.message() + ")\n");
    Send(std::move(reply), false, true);
    return;
  }
  Route(parser_->get());
}

void Connection::Route(const Impl::Request& request) {
  const bool head = request.method() == http::verb::head;
  Impl::Reply reply;
  reply.version(11);
  // Nothing the client may send is kept beyond the head: a request that
  // would come with a body is answered and the connection closed unread.
  if (request.method() != http::verb::get && !head) {
    Impl::ServeText(reply, http::status::method_not_allowed, "only GET and HEAD are served\n");
    reply.set(http::field::allow, "GET, HEAD");
    Send(std::move(reply), head, true);
    return;
  }
  if (parser_->chunked() || parser_->content_length().value_or(0) != 0) {
    Impl::ServeText(reply, http::status::payload_too_large, "no request body is accepted\n");
    Send(std::move(reply), head, true);
    return;
  }
  std::size_t fields = 0;
  for (auto it = request.begin(); it != request.end(); ++it) ++fields;
  if (fields > server_.limits.headFields) {
    Impl::ServeText(reply, http::status::request_header_fields_too_large,
                    "more than " + std::to_string(server_.limits.headFields) + " header fields\n");
    Send(std::move(reply), head, true);
    return;
  }
  const bool close = !request.keep_alive();
  // Bound to loopback, only a loopback name or the bound address is ours: a
  // page of another site that rebinds its own name to 127.0.0.1 is refused.
  if (server_.checkHost) {
    const auto host = request[http::field::host];
    const std::string name = HostName(std::string_view(host.data(), host.size()));
    if (name != "localhost" && name != server_.boundHost && !IsLoopbackHost(name)) {
      Impl::ServeText(reply, http::status::misdirected_request,
                      "this server answers to localhost or its loopback address only\n");
      Send(std::move(reply), head, true);
      return;
    }
  }
  const std::string_view target(request.target().data(), request.target().size());
  const auto question = target.find('?');
  const std::string_view path = target.substr(0, question);
  const std::string_view query =
      question == std::string_view::npos ? std::string_view() : target.substr(question + 1);

  if (path == "/metrics") {
    server_.ServeMetrics(reply);
    return Send(std::move(reply), head, close);
  }
  if (path == "/alarms") {
    server_.ServeAlarms(reply);
    return Send(std::move(reply), head, close);
  }
  if (path == "/history") {
    if (server_.historyReplies >= server_.limits.historyReplies) {
      Impl::ServeText(reply, http::status::service_unavailable, "busy: try again\n");
      reply.set(http::field::retry_after, "2");
      return Send(std::move(reply), head, close);
    }
    const auto minutes = MinutesParameter(query, 60);
    const int most = static_cast<int>(std::chrono::minutes(kHistorySpan).count());
    if (!minutes || *minutes < 1 || *minutes > most) {
      Impl::ServeText(reply, http::status::bad_request,
                      "minutes: a whole number from 1 to " + std::to_string(most) + "\n");
      return Send(std::move(reply), head, close);
    }
    server_.ServeHistory(*minutes, reply);
    holdsHistory_ = true;
    ++server_.historyReplies;
    return Send(std::move(reply), head, close);
  }
  if (path == "/events" && !head) {
    client_ = server_.hub.Join();
    if (!client_) {
      Impl::ServeText(reply, http::status::service_unavailable, "too many pages connected\n");
      return Send(std::move(reply), head, close);
    }
    return StartStream();
  }
  for (std::size_t i = 0; i < kWebAssetCount; ++i) {
    if (path == kWebAssets[i].path) return SendAsset(kWebAssets[i], head, close);
  }
  Impl::ServeText(reply, http::status::not_found, "not found\n");
  Send(std::move(reply), head, close);
}

template <class Message>
void Connection::SendMessage(std::shared_ptr<Message> message) {
  state_ = State::Replying;
  // A reply the client does not take within this time ends the connection.
  Arm(server_.limits.sendTime, [this] { Close(); });
  http::async_write(socket_, *message,
                    [self = shared_from_this(), message](const error_code& ec, std::size_t) {
                      if (self->state_ != State::Replying) return;
                      self->ReleaseHistory();
                      if (ec || !message->keep_alive()) {
                        self->Close();
                        return;
                      }
                      self->AwaitRequest();
                    });
}

static void AddCommonFields(http::fields& fields) {
  fields.set(http::field::server, "wexread");
  fields.set("X-Content-Type-Options", "nosniff");
  fields.set("Content-Security-Policy", kPolicy);
}

void Connection::Send(Impl::Reply reply, bool head, bool close) {
  reply.version(11);
  AddCommonFields(reply.base());
  reply.keep_alive(!close);
  reply.prepare_payload();
  if (head) {
    auto headOnly = std::make_shared<http::response<http::empty_body>>(std::move(reply.base()));
    SendMessage(std::move(headOnly));
  } else {
    SendMessage(std::make_shared<Impl::Reply>(std::move(reply)));
  }
}

void Connection::SendAsset(const WebAsset& asset, bool head, bool close) {
  // The bytes are the program's own: sent from where they are, never copied.
  // Range requests are not served: the whole file, always.
  http::response<http::span_body<const char>> reply;
  reply.version(11);
  reply.result(http::status::ok);
  reply.set(http::field::content_type, asset.type);
  reply.set(http::field::cache_control, "no-cache");
  AddCommonFields(reply.base());
  reply.keep_alive(!close);
  reply.body() = {reinterpret_cast<const char*>(asset.data), asset.size};
  reply.prepare_payload();
  if (head) {
    SendMessage(std::make_shared<http::response<http::empty_body>>(std::move(reply.base())));
  } else {
    SendMessage(std::make_shared<http::response<http::span_body<const char>>>(std::move(reply)));
  }
}

void Connection::StartStream() {
  state_ = State::Streaming;
  http::response<http::empty_body> head;
  head.version(11);
  head.result(http::status::ok);
  head.set(http::field::content_type, "text/event-stream");
  head.set(http::field::cache_control, "no-store");
  AddCommonFields(head.base());
  head.keep_alive(false);  // the stream ends with the connection
  std::ostringstream text;
  text << head.base();
  // The browser reconnects by itself this long after losing us.
  streamHead_ = text.str() + "retry: 2000\n\n";
  writing_ = true;
  Arm(server_.limits.sendTime, [this] { Close(); });
  asio::async_write(socket_, asio::buffer(streamHead_),
                    [self = shared_from_this()](const error_code& ec, std::size_t) {
                      self->writing_ = false;
                      if (ec) return self->Close();
                      self->Pump();
                    });
  // A page sends nothing more: anything read, or the end, means it has gone.
  socket_.async_read_some(
      asio::buffer(probe_),
      [self = shared_from_this()](const error_code&, std::size_t) { self->Close(); });
}

void Connection::Pump() {
  if (state_ != State::Streaming || writing_) return;
  switch (server_.hub.Wait(*client_, sending_, 0ms)) {
    case EventHub::Next::Event:
      break;
    case EventHub::Next::Idle:
      Arm(std::chrono::duration_cast<std::chrono::milliseconds>(kStreamHeartbeat), [this] {
        static const std::string kComment = ":\n\n";
        sending_ = std::shared_ptr<const std::string>(&kComment, [](const std::string*) {});
        writing_ = true;
        Arm(server_.limits.sendTime, [this] { Close(); });
        asio::async_write(socket_, asio::buffer(*sending_),
                          [self = shared_from_this()](const error_code& ec, std::size_t) {
                            self->writing_ = false;
                            if (ec) return self->Close();
                            self->Pump();
                          });
      });
      return;
    case EventHub::Next::Ended:
      Close();
      return;
  }
  writing_ = true;
  // A page that takes no bytes for this long is given up.
  Arm(server_.limits.sendTime, [this] { Close(); });
  asio::async_write(socket_, asio::buffer(*sending_),
                    [self = shared_from_this()](const error_code& ec, std::size_t) {
                      self->writing_ = false;
                      self->sending_.reset();
                      if (ec) return self->Close();
                      self->Pump();
                    });
}

WebServer::Impl::Impl(const ListenAddress& address, const RunLayout& runLayout,
                      std::chrono::milliseconds period, const WebLimits& webLimits)
    : limits(webLimits),
      layout(runLayout),
      rowPeriod(period),
      channels(static_cast<unsigned>(runLayout.modules.size()) * kChannelsPerModule),
      history(channels, period, &layout),
      hub(webLimits.pages, kPageQueueRows) {
  const std::string where =
      "cannot listen on " + address.host + " port " + std::to_string(address.port);
  error_code ec;
  // A name ("localhost") is resolved once, here; its first address is bound.
  tcp::resolver resolver(io);
  const auto found = resolver.resolve(address.host, std::to_string(address.port),
                                      tcp::resolver::numeric_service, ec);
  if (ec || found.empty())
    throw OutputError(where + ": not an address of this machine (" + ec.message() + ")");
  const tcp::endpoint endpoint = found.begin()->endpoint();
  const auto ip = endpoint.address();
  acceptor.open(endpoint.protocol(), ec);
#ifndef _WIN32
  // A restart may bind at once over connections of the last run still closing;
  // no SO_REUSEPORT: a second wexread on the same address is refused.
  // (On Windows SO_REUSEADDR would let another program take the port: not set.)
  if (!ec) acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
#endif
  if (!ec) acceptor.bind(endpoint, ec);
  if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    if (ec == asio::error::address_in_use) throw OutputError(where + ": address in use");
    throw OutputError(where + ": " + ec.message());
  }
  port = acceptor.local_endpoint().port();
  boundHost = ip.to_string();
  checkHost = ip.is_loopback();
  Accept();
}

void WebServer::Impl::Accept() {
  acceptor.async_accept([this](const error_code& ec, tcp::socket socket) {
    if (stopping || ec == asio::error::operation_aborted) return;
    if (ec) {
      // Out of descriptors, say: the clients open already finish first.
      acceptPause.expires_after(kAcceptPause);
      acceptPause.async_wait([this](const error_code& waited) {
        if (!waited && !stopping) Accept();
      });
      return;
    }
    Admit(std::move(socket));
    Accept();
  });
}

void WebServer::Impl::Admit(tcp::socket socket) {
  error_code ec;
  const auto remote = socket.remote_endpoint(ec);
  if (ec) return;
  const auto peer = remote.address();
  // At a limit, a newcomer displaces the oldest connection that is only
  // waiting for a request (of the same client for its own limit): a flood of
  // idle or trickling connections cannot lock out the scraper. Streams and
  // replies under way are never displaced.
  const auto displace = [&](bool sameClient) {
    std::shared_ptr<Connection> oldest;
    for (const auto& weak : connections) {
      const auto connection = weak.lock();
      if (connection && connection->waitingForRequest() &&
          (!sameClient || connection->peer() == peer)) {
        oldest = connection;
        break;
      }
    }
    if (oldest) oldest->Close();
    return oldest != nullptr;
  };
  const auto count = perClient.find(peer);
  if (count != perClient.end() && count->second >= limits.perClient && !displace(true)) return;
  if (connections.size() >= limits.connections && !displace(false)) return;
  // A displaced connection leaves the registry when its last handler is done;
  // until then the counts may stand one over.
  auto connection = std::make_shared<Connection>(*this, std::move(socket), peer);
  connections.push_back(connection);
  ++perClient[peer];
  connection->Start(std::prev(connections.end()));
}

void WebServer::Impl::Forget(Connection* connection) {
  connections.erase(connection->place());
  const auto it = perClient.find(connection->peer());
  if (it != perClient.end() && --it->second == 0) perClient.erase(it);
}

std::vector<std::shared_ptr<Connection>> WebServer::Impl::Live() const {
  std::vector<std::shared_ptr<Connection>> live;
  for (const auto& weak : connections) {
    if (auto connection = weak.lock()) live.push_back(std::move(connection));
  }
  return live;
}

void WebServer::Impl::Shutdown() {
  stopping = true;
  error_code ignored;
  acceptor.close(ignored);
  acceptPause.cancel();
  hub.Close();
  for (const auto& connection : Live()) connection->Close();
  // With every socket closed their handlers finish, and the loop runs dry.
}

void WebServer::Impl::WakePages() {
  wakePending = false;
  for (const auto& connection : Live()) connection->Pump();
}

void WebServer::Impl::ServeText(Reply& reply, http::status status, std::string text) {
  reply.result(status);
  reply.set(http::field::content_type, kTextType);
  reply.set(http::field::cache_control, "no-store");
  reply.body() = std::move(text);
}

void WebServer::Impl::ServeMetrics(Reply& reply) {
  {
    std::lock_guard lock(expositionMutex);
    reply.body() = exposition;
  }
  reply.result(http::status::ok);
  reply.set(http::field::content_type, "text/plain; version=0.0.4; charset=utf-8");
  reply.set(http::field::cache_control, "no-store");
}

void WebServer::Impl::ServeAlarms(Reply& reply) {
  {
    std::lock_guard lock(expositionMutex);
    reply.body() = alarms;
  }
  reply.result(http::status::ok);
  reply.set(http::field::content_type, "application/json");
  reply.set(http::field::cache_control, "no-store");
}

void WebServer::Impl::ServeHistory(int minutes, Reply& reply) {
  const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::system_clock::now().time_since_epoch());
  nlohmann::ordered_json head;
  head["port"] = layout.port;
  head["modules"] = layout.modules;
  auto names = nlohmann::ordered_json::array();
  for (std::size_t i = 0; i < channels; ++i) {
    const std::string& name = layout.NameOf(i);
    if (name.empty())
      names.push_back(nullptr);
    else
      names.push_back(name);
  }
  head["names"] = std::move(names);
  head["unit"] = UnitSymbol(layout.unit);
  head["rowPeriodMs"] = rowPeriod.count();
  head["now"] = now.count();
  // The rows kept, already JSON, as the last member.
  std::string body = head.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  body.pop_back();
  body += ",\"rows\":" + history.JsonSince((now - std::chrono::minutes(minutes)).count()) + '}';
  reply.result(http::status::ok);
  reply.set(http::field::content_type, "application/json");
  reply.set(http::field::cache_control, "no-store");
  reply.body() = std::move(body);
}

WebServer::WebServer(const ListenAddress& address, const RunLayout& layout,
                     std::chrono::milliseconds rowPeriod, const WebLimits& limits)
    : impl_(std::make_unique<Impl>(address, layout, rowPeriod, limits)) {
  impl_->thread = std::thread([impl = impl_.get()] { impl->Run(); });
}

WebServer::~WebServer() {
  asio::post(impl_->io, [impl = impl_.get()] { impl->Shutdown(); });
  // Every socket is closed at once: nothing waits for a client. The loop
  // stops for good after a short grace for the handlers to run dry.
  const auto deadline = std::chrono::steady_clock::now() + 1500ms;
  while (!impl_->io.stopped() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(5ms);
  impl_->io.stop();
  impl_->thread.join();
}

int WebServer::port() const { return impl_->port; }

void WebServer::Publish(std::string exposition) {
  std::lock_guard lock(impl_->expositionMutex);
  impl_->exposition = std::move(exposition);
}

void WebServer::AddRow(std::int64_t utcMs, const std::uint16_t* values) {
  Impl& impl = *impl_;
  impl.history.Add(utcMs, values);
  impl.eventText = "data: ";
  AppendRowJson(impl.eventText, utcMs, values, impl.channels, &impl.layout);
  impl.eventText += "\n\n";
  impl.hub.Publish(impl.eventText);
  // One wake-up on the server's thread for however many rows are waiting.
  if (!impl.wakePending.exchange(true)) asio::post(impl.io, [&impl] { impl.WakePages(); });
}

void WebServer::PublishAlarm(const std::string& event, std::string state) {
  Impl& impl = *impl_;
  {
    std::lock_guard lock(impl.expositionMutex);
    impl.alarms = std::move(state);
  }
  if (event.empty()) return;
  impl.hub.PublishNamed("alarm", event);
  if (!impl.wakePending.exchange(true)) asio::post(impl.io, [&impl] { impl.WakePages(); });
}

std::size_t WebServer::historyBytes() const { return impl_->history.bytes(); }

}  // namespace wexread
