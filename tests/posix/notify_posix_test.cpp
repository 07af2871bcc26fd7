#include "platform/posix/notify_posix.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <future>
#include <thread>
#include <vector>

#include "posix_test_util.h"

namespace wexlink::posix {
namespace {

using namespace std::chrono_literals;
using testing::TempDir;

class Pipe {
 public:
  Pipe() { ok_ = pipe2(fds_, O_CLOEXEC) == 0; }
  ~Pipe() {
    CloseRead();
    CloseWrite();
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  bool ok() const { return ok_; }
  int readEnd() const { return fds_[0]; }
  int writeEnd() const { return fds_[1]; }
  void CloseRead() {
    if (fds_[0] >= 0) close(fds_[0]);
    fds_[0] = -1;
  }
  void CloseWrite() {
    if (fds_[1] >= 0) close(fds_[1]);
    fds_[1] = -1;
  }

 private:
  int fds_[2] = {-1, -1};
  bool ok_ = false;
};

// Everything that can be read from `fd` now.
std::vector<uint8_t> Drain(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  std::vector<uint8_t> bytes;
  uint8_t buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) bytes.insert(bytes.end(), buffer, buffer + n);
  fcntl(fd, F_SETFL, flags);
  return bytes;
}

std::vector<NotificationRecord> Records(const std::vector<uint8_t>& bytes) {
  std::vector<NotificationRecord> records(bytes.size() / sizeof(NotificationRecord));
  std::memcpy(records.data(), bytes.data(), records.size() * sizeof(NotificationRecord));
  return records;
}

bool SigpipePending() {
  sigset_t pending;
  sigemptyset(&pending);
  sigpending(&pending);
  return sigismember(&pending, SIGPIPE) == 1;
}

// Runs a post on another thread and tells whether it came back in time.
bool PostReturnsPromptly(FdMessagePoster& poster, intptr_t window) {
  auto done = std::async(std::launch::async, [&] { poster.Post(window, 1, 2, 3); });
  return done.wait_for(1s) == std::future_status::ready;
}

TEST(FdPoster, WritesOneTwelveByteRecordPerPost) {
  Pipe p;
  ASSERT_TRUE(p.ok());
  FdMessagePoster poster;
  poster.Post(p.writeEnd(), 0x0400, 7, 0xDEADBEEF);
  poster.Post(p.writeEnd(), 0x0401, 0, 0xFFFFFFFF);
  const auto bytes = Drain(p.readEnd());
  ASSERT_EQ(bytes.size(), 24u);
  const auto records = Records(bytes);
  EXPECT_EQ(records[0].message, 0x0400u);
  EXPECT_EQ(records[0].wParam, 7u);
  EXPECT_EQ(records[0].lParam, 0xDEADBEEFu);
  EXPECT_EQ(records[1].message, 0x0401u);
  EXPECT_EQ(records[1].wParam, 0u);
  EXPECT_EQ(records[1].lParam, 0xFFFFFFFFu);
}

TEST(FdPoster, NonBlockingPipeGetsRecordsToo) {
  Pipe p;
  ASSERT_TRUE(p.ok());
  fcntl(p.writeEnd(), F_SETFL, O_NONBLOCK);
  FdMessagePoster poster;
  poster.Post(p.writeEnd(), 9, 8, 7);
  const auto records = Records(Drain(p.readEnd()));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].message, 9u);
  EXPECT_EQ(records[0].lParam, 7u);
}

TEST(FdPoster, FullBlockingPipeDropsTheRecordWithoutWaiting) {
  Pipe p;
  ASSERT_TRUE(p.ok());
  // Fill the pipe to the last byte, then make the end blocking again.
  fcntl(p.writeEnd(), F_SETFL, O_NONBLOCK);
  std::size_t filled = 0;
  const std::vector<uint8_t> chunk(1000, 0x11);
  for (ssize_t n; (n = write(p.writeEnd(), chunk.data(), chunk.size())) > 0;)
    filled += static_cast<std::size_t>(n);
  for (ssize_t n; (n = write(p.writeEnd(), chunk.data(), 1)) > 0;)
    filled += static_cast<std::size_t>(n);
  fcntl(p.writeEnd(), F_SETFL, 0);

  FdMessagePoster poster;
  const bool returned = PostReturnsPromptly(poster, p.writeEnd());
  const auto bytes = Drain(p.readEnd());  // also frees a post that hangs
  EXPECT_TRUE(returned);
  EXPECT_EQ(bytes.size(), filled);

  // With room again, records arrive.
  poster.Post(p.writeEnd(), 5, 6, 7);
  EXPECT_EQ(Drain(p.readEnd()).size(), 12u);
}

TEST(FdPoster, PipeWithoutReaderDropsWithoutSigpipe) {
  Pipe p;
  ASSERT_TRUE(p.ok());
  p.CloseRead();
  FdMessagePoster poster;
  // SIGPIPE keeps its default action here, which would end the process.
  ASSERT_EQ(signal(SIGPIPE, SIG_DFL), SIG_DFL);
  poster.Post(p.writeEnd(), 1, 2, 3);
  EXPECT_FALSE(SigpipePending());

  // On a thread that blocks SIGPIPE, as the timer thread does, the signal does
  // not stay pending either.
  std::thread([&] {
    sigset_t pipeOnly;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeOnly, nullptr);
    for (int i = 0; i < 3; ++i) poster.Post(p.writeEnd(), 1, 2, 3);
    EXPECT_FALSE(SigpipePending());
  }).join();
}

TEST(FdPoster, NonBlockingPipeWithoutReaderDropsWithoutSigpipe) {
  Pipe p;
  ASSERT_TRUE(p.ok());
  fcntl(p.writeEnd(), F_SETFL, O_NONBLOCK);
  p.CloseRead();
  FdMessagePoster poster;
  poster.Post(p.writeEnd(), 1, 2, 3);
  EXPECT_FALSE(SigpipePending());
}

TEST(FdPoster, FifoReaderGetsRecordsAndAFifoWithoutReaderDrops) {
  TempDir dir;
  const std::string path = dir.File("notify.fifo");
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  const int writer = open(path.c_str(), O_WRONLY | O_CLOEXEC);  // blocking
  ASSERT_GE(writer, 0);

  FdMessagePoster poster;
  poster.Post(writer, 0x8001, 1, 2);
  const auto records = Records(Drain(reader));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].message, 0x8001u);

  close(reader);
  EXPECT_TRUE(PostReturnsPromptly(poster, writer));
  EXPECT_FALSE(SigpipePending());
  close(writer);
}

TEST(FdPoster, SocketsGetRecordsAndNeverRaiseSigpipe) {
  for (const int type : {SOCK_STREAM, SOCK_DGRAM, SOCK_SEQPACKET}) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, pair), 0);
    FdMessagePoster poster;
    poster.Post(pair[0], 42, 43, 44);
    const auto records = Records(Drain(pair[1]));
    ASSERT_EQ(records.size(), 1u) << "type " << type;
    EXPECT_EQ(records[0].wParam, 43u);

    close(pair[1]);
    poster.Post(pair[0], 42, 43, 44);
    EXPECT_FALSE(SigpipePending());
    close(pair[0]);
  }
}

TEST(FdPoster, FullSocketDropsWithoutWaiting) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  fcntl(pair[0], F_SETFL, O_NONBLOCK);
  const std::vector<uint8_t> chunk(4096, 0x22);
  while (write(pair[0], chunk.data(), chunk.size()) > 0) {
  }
  while (write(pair[0], chunk.data(), 1) > 0) {
  }
  fcntl(pair[0], F_SETFL, 0);
  FdMessagePoster poster;
  const bool returned = PostReturnsPromptly(poster, pair[0]);
  Drain(pair[1]);
  EXPECT_TRUE(returned);
  close(pair[0]);
  close(pair[1]);
}

TEST(FdPoster, EventFdCountsNotifications) {
  const int efd = eventfd(0, EFD_CLOEXEC);
  ASSERT_GE(efd, 0);
  FdMessagePoster poster;
  for (int i = 0; i < 3; ++i) poster.Post(efd, 0x400, 1, 2);
  uint64_t count = 0;
  ASSERT_EQ(read(efd, &count, sizeof count), static_cast<ssize_t>(sizeof count));
  EXPECT_EQ(count, 3u);
  close(efd);
}

TEST(FdPoster, UnusableHandlesAreIgnored) {
  FdMessagePoster poster;
  poster.Post(-1, 1, 2, 3);
  poster.Post(static_cast<intptr_t>(INT_MAX) + 1, 1, 2, 3);
  Pipe closed;
  ASSERT_TRUE(closed.ok());
  const int stale = closed.writeEnd();
  closed.CloseWrite();
  poster.Post(stale, 1, 2, 3);

  // The read end of a pipe is not a place to post to.
  Pipe p;
  ASSERT_TRUE(p.ok());
  poster.Post(p.readEnd(), 1, 2, 3);
  p.CloseWrite();
  EXPECT_TRUE(Drain(p.readEnd()).empty());
}

}  // namespace
}  // namespace wexlink::posix
