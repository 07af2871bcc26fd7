#include "event_hub.h"

#include <algorithm>

namespace wexread {

EventHub::EventHub(std::size_t maxClients, std::size_t queueLimit)
    : maxClients_(maxClients), queueLimit_(queueLimit) {}

std::shared_ptr<EventHub::Client> EventHub::Join() {
  std::lock_guard lock(mutex_);
  if (closed_ || clients_.size() >= maxClients_) return nullptr;
  clients_.push_back(std::make_shared<Client>());
  return clients_.back();
}

void EventHub::Leave(const std::shared_ptr<Client>& client) {
  std::lock_guard lock(mutex_);
  clients_.erase(std::remove(clients_.begin(), clients_.end(), client), clients_.end());
}

void EventHub::Publish(std::string text) {
  const Event event = std::make_shared<const std::string>(std::move(text));
  {
    std::lock_guard lock(mutex_);
    for (const auto& client : clients_) {
      if (client->dropped) continue;
      if (client->queue.size() >= queueLimit_) {
        client->dropped = true;
        client->queue.clear();
        ++dropped_;
      } else {
        client->queue.push_back(event);
      }
    }
  }
  wake_.notify_all();
}

void EventHub::PublishNamed(const std::string& name, const std::string& data) {
  Publish("event: " + name + "\ndata: " + data + "\n\n");
}

EventHub::Next EventHub::Wait(Client& client, Event& event, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  const bool woken = wake_.wait_for(
      lock, timeout, [&] { return closed_ || client.dropped || !client.queue.empty(); });
  if (closed_ || client.dropped) return Next::Ended;
  if (!woken) return Next::Idle;
  event = std::move(client.queue.front());
  client.queue.pop_front();
  return Next::Event;
}

void EventHub::Close() {
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }
  wake_.notify_all();
}

std::size_t EventHub::clients() const {
  std::lock_guard lock(mutex_);
  return clients_.size();
}

std::size_t EventHub::dropped() const {
  std::lock_guard lock(mutex_);
  return dropped_;
}

}  // namespace wexread
