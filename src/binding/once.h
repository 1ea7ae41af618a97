// DetachedOnce: a one-time initialisation whose waiters release the interpreter.
#pragma once

#include <atomic>
#include <mutex>

#include "binding/attachment.h"

namespace mervik {

/// Runs an initialisation once per process. A thread that has to wait for another thread's
/// initialisation waits without holding the interpreter, so that the initialising thread can
/// take it. An initialisation that reports failure (a false or error result) or throws leaves
/// the flag unset, and the next caller tries again.
class DetachedOnce {
 public:
  bool done() const noexcept { return done_.load(std::memory_order_acquire); }

  /// Calls `init` unless done; returns its result, or a default-constructed one when the work
  /// was already done.
  template <class F>
  auto run(F&& init) -> decltype(init()) {
    using R = decltype(init());
    if (done()) return R{};
    SuspendedAttachment saved = suspend_attachment();
    std::unique_lock lock(mutex_);
    resume_attachment(saved);
    if (done()) return R{};
    R result = init();
    if (static_cast<bool>(result)) done_.store(true, std::memory_order_release);
    return result;
  }

 private:
  std::atomic<bool> done_{false};
  std::mutex mutex_;
};

}  // namespace mervik
