#include "modbus_server.h"

#include <fcntl.h>
#include <modbus.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

#include "readings.h"

namespace wexread {

using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kHeader = 7;  // transaction, protocol, length, unit
constexpr int kNoReading = -32768;
constexpr unsigned kRegisters = ModbusServer::kCountersBase + 3;

unsigned Word(const std::uint8_t* p) { return static_cast<unsigned>(p[0]) << 8 | p[1]; }

}  // namespace

struct ModbusServer::Connection {
  int fd = -1;
  std::array<std::uint8_t, MODBUS_TCP_MAX_ADU_LENGTH> frame{};
  std::size_t have = 0;
  Clock::time_point lastRequest;  // or the accept
  Clock::time_point frameStart;   // first byte of the frame being read
};

ModbusServer::ModbusServer(const ListenAddress& where, unsigned modules, TemperatureUnit unit)
    : modules_(modules),
      unit_(unit),
      raw_(modules * kChannelsPerModule, 0),
      tenths_(modules * kChannelsPerModule, static_cast<std::uint16_t>(kNoReading)),
      up_(modules, 0) {
  const std::string service = std::to_string(where.port);
  ctx_ = modbus_new_tcp_pi(where.host.c_str(), service.c_str());
  if (ctx_ == nullptr) throw std::runtime_error("Modbus: " + std::string(modbus_strerror(errno)));
  map_ = modbus_mapping_new_start_address(0, 0, 0, modules, 0, 0, 0, kRegisters);
  listenFd_ = map_ == nullptr ? -1 : modbus_tcp_pi_listen(ctx_, kMaxConnections);
  const int listenErrno = errno;
  wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (listenFd_ < 0 || wakeFd_ < 0) {
    const std::string why = std::strerror(listenFd_ < 0 ? listenErrno : errno);
    if (listenFd_ >= 0) ::close(listenFd_);
    if (wakeFd_ >= 0) ::close(wakeFd_);
    if (map_ != nullptr) modbus_mapping_free(map_);
    modbus_free(ctx_);
    throw std::runtime_error("Modbus: cannot listen at " + where.host + ":" + service + ": " + why);
  }
  fcntl(listenFd_, F_SETFL, fcntl(listenFd_, F_GETFL) | O_NONBLOCK);
  fcntl(listenFd_, F_SETFD, FD_CLOEXEC);
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  if (getsockname(listenFd_, reinterpret_cast<sockaddr*>(&bound), &length) == 0)
    port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                              : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  Refresh();
  thread_ = std::thread(&ModbusServer::Run, this);
}

ModbusServer::~ModbusServer() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(wakeFd_, &one, sizeof one);
  thread_.join();
  ::close(listenFd_);
  ::close(wakeFd_);
  modbus_set_socket(ctx_, -1);
  modbus_mapping_free(map_);
  modbus_free(ctx_);
}

void ModbusServer::Update(const std::uint16_t* values, std::uint64_t rows) {
  const std::size_t channels = modules_ * kChannelsPerModule;
  std::vector<std::uint16_t> tenths(channels);
  std::vector<std::uint8_t> up(modules_);
  for (unsigned m = 0; m < modules_; ++m) {
    const std::uint16_t* v = values + m * kChannelsPerModule;
    up[m] = ModuleAnswering(v) ? 1 : 0;
    for (unsigned c = 0; c < kChannelsPerModule; ++c) {
      int t = up[m] != 0 && IsTemperature(v[c]) ? TemperatureTenths(v[c], unit_) : kNoReading;
      if (layout_ != nullptr && t != kNoReading) {
        // Calibrated, in the run's unit; beyond 16 bits the register holds no reading.
        const auto value = ChannelValue(*layout_, m * kChannelsPerModule + c, v[c]);
        const double tenths10 = value ? std::round(*value * 10) : 0;
        t = value && tenths10 > -32768 && tenths10 <= 32767 ? static_cast<int>(tenths10)
                                                             : kNoReading;
      }
      tenths[m * kChannelsPerModule + c] = static_cast<std::uint16_t>(t);
    }
  }
  std::lock_guard lock(mutex_);
  std::copy(values, values + channels, raw_.begin());
  tenths_.swap(tenths);
  up_.swap(up);
  rows_ = rows;
  haveRow_ = true;
  rowAt_ = Clock::now();
}

ModbusServer::Counters ModbusServer::counters() const {
  std::lock_guard lock(mutex_);
  return counters_;
}

// The newest row into the register map, just before a reply.
void ModbusServer::Refresh() {
  std::lock_guard lock(mutex_);
  std::uint16_t* r = map_->tab_input_registers;
  std::copy(raw_.begin(), raw_.end(), r + kRawBase);
  std::copy(tenths_.begin(), tenths_.end(), r + kTenthsBase);
  std::copy(up_.begin(), up_.end(), map_->tab_input_bits);
  const auto rows = static_cast<std::uint32_t>(rows_);
  r[kCountersBase] = static_cast<std::uint16_t>(rows >> 16);
  r[kCountersBase + 1] = static_cast<std::uint16_t>(rows & 0xFFFF);
  const auto age = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - rowAt_).count();
  r[kCountersBase + 2] =
      static_cast<std::uint16_t>(haveRow_ ? std::min<long long>(age, 65535) : 65535);
}

// A whole request is in `c.frame`: the reply, or the exception for what the
// map does not hold. False when the reply cannot be sent.
bool ModbusServer::Answer(Connection& c) {
  const std::uint8_t* pdu = c.frame.data() + kHeader;
  const std::size_t pduLength = c.have - kHeader;
  const unsigned function = pdu[0];
  // 0x80 and above are exception replies, not requests: libmodbus would
  // answer with a function code that wraps round to a valid one.
  if (function >= 0x80) return false;
  int exception = 0;
  if (function != MODBUS_FC_READ_DISCRETE_INPUTS && function != MODBUS_FC_READ_INPUT_REGISTERS) {
    exception = MODBUS_EXCEPTION_ILLEGAL_FUNCTION;  // every write among them: read-only
  } else if (pduLength != 5) {
    exception = MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
  } else if (function == MODBUS_FC_READ_INPUT_REGISTERS) {
    // libmodbus checks the count and the ends; the map has gaps between
    // its blocks, which are checked here.
    const unsigned start = Word(pdu + 1);
    const unsigned count = Word(pdu + 3);
    const unsigned channels = modules_ * kChannelsPerModule;
    if (count >= 1 && count <= MODBUS_MAX_READ_REGISTERS) {
      for (unsigned a = start; a < start + count && exception == 0; ++a) {
        const bool mapped = a < kRawBase + channels ||
                            (a >= kTenthsBase && a < kTenthsBase + channels) ||
                            (a >= kCountersBase && a < kRegisters);
        if (!mapped) exception = MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS;
      }
    }
  }
  modbus_set_socket(ctx_, c.fd);
  int rc;
  if (exception != 0) {
    rc = modbus_reply_exception(ctx_, c.frame.data(), static_cast<unsigned>(exception));
  } else {
    Refresh();
    // libmodbus itself answers a count or an address beyond the ends with
    // an exception: the nine bytes of header, function and code.
    rc = modbus_reply(ctx_, c.frame.data(), static_cast<int>(c.have), map_);
  }
  modbus_set_socket(ctx_, -1);
  {
    std::lock_guard lock(mutex_);
    ++counters_.requests;
    if (exception != 0 || rc == static_cast<int>(kHeader) + 2) ++counters_.exceptions;
  }
  return rc > 0;
}

// Reads what the connection has sent and answers each whole frame.
bool ModbusServer::Serve(Connection& c) {
  for (int frames = 0; frames < 16; ++frames) {
    std::size_t want = kHeader;
    if (c.have >= kHeader) want = 6 + Word(c.frame.data() + 4);
    const ssize_t n = ::recv(c.fd, c.frame.data() + c.have, want - c.have, 0);
    if (n == 0) return false;
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    if (c.have == 0) c.frameStart = Clock::now();
    c.have += static_cast<std::size_t>(n);
    if (c.have == kHeader) {
      // Protocol 0, and a length that holds the unit and a function code
      // and fits a Modbus TCP frame: anything else is not Modbus TCP.
      const unsigned protocol = Word(c.frame.data() + 2);
      const unsigned length = Word(c.frame.data() + 4);
      if (protocol != 0 || length < 2 || 6 + length > MODBUS_TCP_MAX_ADU_LENGTH) return false;
    }
    if (c.have < kHeader || c.have < 6 + Word(c.frame.data() + 4)) continue;
    if (!Answer(c)) return false;
    c.have = 0;
    c.lastRequest = Clock::now();
  }
  return true;
}

void ModbusServer::Run() {
  std::vector<Connection> connections;
  std::vector<pollfd> fds;
  for (;;) {
    const auto now = Clock::now();
    // Close what has been idle or slow too long.
    for (auto it = connections.begin(); it != connections.end();) {
      const bool expired =
          it->have == 0 ? now - it->lastRequest >= kIdleTime : now - it->frameStart >= kFrameTime;
      if (expired) {
        ::close(it->fd);
        it = connections.erase(it);
      } else {
        ++it;
      }
    }
    {
      std::lock_guard lock(mutex_);
      counters_.connections = static_cast<unsigned>(connections.size());
    }
    auto next = now + kIdleTime;
    for (const auto& c : connections)
      next = std::min(next, c.have == 0 ? c.lastRequest + kIdleTime : c.frameStart + kFrameTime);
    const int timeoutMs = static_cast<int>(
        std::chrono::ceil<std::chrono::milliseconds>(std::max(next - now, Clock::duration{}))
            .count());

    fds.assign({{wakeFd_, POLLIN, 0}, {listenFd_, POLLIN, 0}});
    for (const auto& c : connections) fds.push_back({c.fd, POLLIN, 0});
    if (poll(fds.data(), fds.size(), timeoutMs) < 0 && errno != EINTR) return;
    if ((fds[0].revents & POLLIN) != 0) break;

    for (std::size_t i = connections.size(); i-- > 0;) {
      if (fds[2 + i].revents == 0) continue;
      if (!Serve(connections[i])) {
        ::close(connections[i].fd);
        connections.erase(connections.begin() + static_cast<std::ptrdiff_t>(i));
      }
    }
    if ((fds[1].revents & POLLIN) != 0) {
      const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd >= 0 && connections.size() >= kMaxConnections) {
        ::close(fd);
        std::lock_guard lock(mutex_);
        ++counters_.refused;
      } else if (fd >= 0) {
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        Connection c;
        c.fd = fd;
        c.lastRequest = Clock::now();
        connections.push_back(c);
      }
    }
  }
  for (const auto& c : connections) ::close(c.fd);
}

}  // namespace wexread
