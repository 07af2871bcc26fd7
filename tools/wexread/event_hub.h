// Server-Sent Events to every connected page: the reader publishes each row
// once, and each client takes it from a queue of its own when its connection
// is ready for more. Publishing never waits for a client: a client whose queue is full
// (a slow or stalled browser) is dropped, and its browser reconnects.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace wexread {

class EventHub {
 public:
  struct Client;
  using Event = std::shared_ptr<const std::string>;

  EventHub(std::size_t maxClients, std::size_t queueLimit);

  // A new client, or null when `maxClients` are connected or the hub is closed.
  std::shared_ptr<Client> Join();
  void Leave(const std::shared_ptr<Client>& client);

  // Queues `event` for every client; drops each client whose queue is full.
  void Publish(std::string event);
  // Publish of a named Server-Sent Event: "event: NAME\ndata: DATA\n\n" (`data`
  // holds no newline).
  void PublishNamed(const std::string& name, const std::string& data);

  enum class Next { Event, Idle, Ended };
  // The client's next event (Event), nothing within `timeout` (Idle), or the
  // end of this client: dropped, or the hub closed (Ended).
  Next Wait(Client& client, Event& event, std::chrono::milliseconds timeout);

  // Ends every client's wait for good (before the server stops).
  void Close();

  std::size_t clients() const;
  std::size_t dropped() const;  // clients dropped for falling behind

 private:
  const std::size_t maxClients_;
  const std::size_t queueLimit_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<std::shared_ptr<Client>> clients_;
  std::size_t dropped_ = 0;
  bool closed_ = false;
};

struct EventHub::Client {
  std::deque<Event> queue;
  bool dropped = false;
};

}  // namespace wexread
