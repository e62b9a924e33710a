// Single-threaded stand-ins for the std threading types, for peers built as
// WebAssembly with bench/peers/*_wasm.sh: Debian's libc++ for wasm32-wasi is
// built without threads, so <mutex>, <thread>, <condition_variable> and
// <future> declare none of them. A peer run with one thread only locks
// uncontended mutexes and runs packaged tasks in place; starting a thread or
// waiting for a condition that nothing can signal traps.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <utility>

#if defined(_LIBCPP_HAS_NO_THREADS)
namespace std {

struct mutex {
  void lock() {}
  void unlock() {}
  bool try_lock() { return true; }
};

template <class M>
class unique_lock {
 public:
  unique_lock() = default;
  explicit unique_lock(M& m) : m_(&m), owns_(true) { m.lock(); }
  unique_lock(M& m, try_to_lock_t) : m_(&m), owns_(m.try_lock()) {}
  unique_lock(M& m, defer_lock_t) : m_(&m) {}
  unique_lock(const unique_lock&) = delete;
  ~unique_lock() {
    if (owns_) m_->unlock();
  }
  void lock() { m_->lock(), owns_ = true; }
  void unlock() { m_->unlock(), owns_ = false; }
  bool owns_lock() const { return owns_; }
  explicit operator bool() const { return owns_; }
  M* mutex() const { return m_; }

 private:
  M* m_ = nullptr;
  bool owns_ = false;
};

struct condition_variable {
  void notify_one() {}
  void notify_all() {}
  template <class L>
  void wait(L&) { __builtin_trap(); }
  template <class L, class P>
  void wait(L&, P ready) {
    if (!ready()) __builtin_trap();
  }
};

class thread {
 public:
  // The one thread there is.
  struct id {
    bool operator==(const id&) const { return true; }
    bool operator!=(const id&) const { return false; }
    bool operator<(const id&) const { return false; }
  };
  thread() = default;
  id get_id() const { return {}; }
  template <class F, class... A>
  explicit thread(F&&, A&&...) { __builtin_trap(); }
  bool joinable() const { return false; }
  void join() {}
  void detach() {}
  static unsigned hardware_concurrency() { return 1; }
};

namespace this_thread {
inline thread::id get_id() { return {}; }
inline void yield() {}
}  // namespace this_thread

template <>
struct hash<thread::id> {
  size_t operator()(thread::id) const { return 0; }
};

template <class R>
class future {
 public:
  future() = default;
  explicit future(shared_ptr<optional<R>> s) : s_(std::move(s)) {}
  bool valid() const { return s_ != nullptr; }
  void wait() const {
    if (!s_->has_value()) __builtin_trap();
  }
  R get() { return wait(), std::move(**s_); }

 private:
  shared_ptr<optional<R>> s_;
};

template <>
class future<void> {
 public:
  future() = default;
  explicit future(shared_ptr<bool> s) : s_(std::move(s)) {}
  bool valid() const { return s_ != nullptr; }
  void wait() const {
    if (!*s_) __builtin_trap();
  }
  void get() { wait(); }

 private:
  shared_ptr<bool> s_;
};

template <class>
class packaged_task;

template <class R, class... A>
class packaged_task<R(A...)> {
  using State = conditional_t<is_void_v<R>, bool, optional<R>>;

 public:
  packaged_task() = default;
  template <class F>
  explicit packaged_task(F&& f) : f_(std::forward<F>(f)), s_(make_shared<State>()) {}
  future<R> get_future() { return future<R>(s_); }
  void operator()(A... a) {
    if constexpr (is_void_v<R>) {
      f_(std::forward<A>(a)...);
      *s_ = true;
    } else {
      s_->emplace(f_(std::forward<A>(a)...));
    }
  }
  bool valid() const { return s_ != nullptr; }

 private:
  function<R(A...)> f_;
  shared_ptr<State> s_;
};

}  // namespace std
#endif
