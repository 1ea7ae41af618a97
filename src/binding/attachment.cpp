// AttachDepth, the deferred-release queue, attach/detach and suspend/resume.
#include "binding/attachment.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "binding/internal_failure.h"
#include "binding/py_ref.h"
#include "platform/stdout.h"

namespace mervik {
namespace detail {
constinit thread_local intptr_t attach_depth = 0;
}  // namespace detail

namespace {

struct DeferredReleaseQueue {
  std::mutex mutex;
  std::vector<PyObject*> pending;
};

DeferredReleaseQueue& queue();

std::atomic<bool> queue_created{false};

DeferredReleaseQueue* new_queue() {
  auto* created = new DeferredReleaseQueue;
  // A thread that held the queue's lock at a fork does not exist in the child: the child gets a
  // fresh lock, and keeps the queued references unless the list was being changed.
  platform::at_fork_in_child([] {
    DeferredReleaseQueue& q = queue();
    if (q.mutex.try_lock()) {
      q.mutex.unlock();
      return;
    }
    std::construct_at(&q.mutex);
    std::construct_at(&q.pending);  // the old list may be half-changed: left as it is
  });
  return created;
}

DeferredReleaseQueue& queue() {
  // Created on first use and never destroyed: references may be queued during process exit.
  static auto* instance = new_queue();
  return *instance;
}

}  // namespace

bool deferred_queue_exists() noexcept { return queue_created.load(std::memory_order_acquire); }

void release_reference(PyObject* obj) noexcept {
  if (detail::attach_depth >= 1) {
    Py_DECREF(obj);
    return;
  }
  auto& q = queue();
  {
    std::lock_guard lock(q.mutex);
    q.pending.push_back(obj);
  }
  queue_created.store(true, std::memory_order_release);
}

void drain_deferred_releases() noexcept {
  std::vector<PyObject*> taken;
  {
    auto& q = queue();
    std::lock_guard lock(q.mutex);
    if (q.pending.empty()) return;
    taken.swap(q.pending);
  }
  // The mutex is not held here: a deallocation may run Python code that queues again.
  for (PyObject* obj : taken) Py_DECREF(obj);
}

AttachGuard attach() {
  if (detail::attach_depth > 0) {
    enter_attached();
    return AttachGuard{};
  }
  if (Py_IsFinalizing()) fail("Cannot attach to the Python interpreter while it is finalizing.");
  AttachGuard guard{true, PyGILState_Ensure()};
  enter_attached();
  return guard;
}

void detach(const AttachGuard& guard) noexcept {
  if (guard.ensured) PyGILState_Release(guard.state);
  leave_attached();
}

SuspendedAttachment suspend_attachment() noexcept {
  SuspendedAttachment saved{detail::attach_depth, nullptr};
  detail::attach_depth = 0;
  saved.thread_state = PyEval_SaveThread();
  return saved;
}

void resume_attachment(const SuspendedAttachment& saved) noexcept {
  resume_attachment_quietly(saved);
  if (deferred_queue_exists()) drain_deferred_releases();
}

void resume_attachment_quietly(const SuspendedAttachment& saved) noexcept {
  PyEval_RestoreThread(saved.thread_state);
  detail::attach_depth = saved.depth;
}

}  // namespace mervik
