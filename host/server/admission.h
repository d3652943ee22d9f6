// The server's bounded queue: at most `capacity` apply requests between
// their headers and their answer (uploading, waiting for a worker or
// running); one more is turned away at once with 503. The pool itself keeps
// the running ones to --jobs.
#pragma once

#include <atomic>

namespace tavrin::server {

class Admission {
public:
  explicit Admission(int capacity) : capacity_(capacity) {}

  int capacity() const { return capacity_; }
  int active() const { return active_.load(); }

  // A place in the queue for as long as the ticket lives; empty when full.
  class Ticket {
  public:
    Ticket() = default;
    explicit Ticket(Admission *owner) : owner_(owner) {}
    ~Ticket() { release(); }
    Ticket(Ticket &&other) noexcept : owner_(other.owner_) { other.owner_ = nullptr; }
    Ticket &operator=(Ticket &&) = delete;
    explicit operator bool() const { return owner_ != nullptr; }
    void release() {
      if (owner_ != nullptr) owner_->active_.fetch_sub(1);
      owner_ = nullptr;
    }

  private:
    Admission *owner_ = nullptr;
  };

  Ticket enter() {
    int n = active_.load();
    while (n < capacity_)
      if (active_.compare_exchange_weak(n, n + 1)) return Ticket(this);
    return Ticket();
  }

private:
  const int capacity_;
  std::atomic<int> active_{0};
};

} // namespace tavrin::server
