// A coroutine that returns a value: the shape of every exchange the client runs on its event
// loop, so that an exchange reads as the steps it takes, one after the other, while many run at
// once on one thread.
#pragma once

#include <coroutine>
#include <exception>
#include <optional>
#include <utility>

/// A lazily started coroutine returning T. It runs when it is awaited (`co_await task`, which
/// hands back its value) or when its owner resumes it through handle(); when it ends it resumes
/// the coroutine that awaited it. Destroying a Task destroys its frame wherever it stands, and
/// with it every object the frame holds (an awaited Task, a transfer in flight, a file being
/// written), in reverse order of their making.
template <typename T>
class [[nodiscard]] Task {
 public:
  struct promise_type;
  using Handle = std::coroutine_handle<promise_type>;

  struct promise_type {
    std::optional<T> value;
    std::exception_ptr error;
    std::coroutine_handle<> continuation = std::noop_coroutine();

    Task get_return_object() { return Task(Handle::from_promise(*this)); }
    std::suspend_always initial_suspend() noexcept { return {}; }
    auto final_suspend() noexcept {
      struct Resume {
        bool await_ready() noexcept { return false; }
        std::coroutine_handle<> await_suspend(Handle done) noexcept {
          return done.promise().continuation;
        }
        void await_resume() noexcept {}
      };
      return Resume{};
    }
    void return_value(T result) { value = std::move(result); }
    void unhandled_exception() { error = std::current_exception(); }
  };

  Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  Task& operator=(Task&& other) noexcept {
    if (this != &other) {
      if (handle_) handle_.destroy();
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;
  ~Task() {
    if (handle_) handle_.destroy();
  }

  /// The coroutine, for an owner that resumes it itself.
  Handle handle() const { return handle_; }
  bool done() const { return handle_ && handle_.done(); }
  /// The value of an ended task; an exception it let out is thrown again here.
  T result() {
    if (handle_.promise().error) std::rethrow_exception(handle_.promise().error);
    return std::move(*handle_.promise().value);
  }

  bool await_ready() const noexcept { return false; }
  std::coroutine_handle<> await_suspend(std::coroutine_handle<> awaiting) noexcept {
    handle_.promise().continuation = awaiting;
    return handle_;
  }
  T await_resume() { return result(); }

 private:
  explicit Task(Handle handle) : handle_(handle) {}
  Handle handle_;
};
