// Attachment to the interpreter: the per-thread AttachDepth, the deferred-release queue, and
// the ways the module attaches, detaches and waits.
#pragma once

#include <cstdint>

#include "binding/python.h"

namespace mervik {

namespace detail {
/// Guarded sections active on this thread; > 0 means the thread holds the interpreter.
extern constinit thread_local intptr_t attach_depth;
}  // namespace detail

inline intptr_t attach_depth() noexcept { return detail::attach_depth; }

/// Releases every reference queued while no thread was attached. Cheap when nothing was ever
/// queued.
void drain_deferred_releases() noexcept;
/// True once any reference has been queued; the guard skips all queue work until then.
bool deferred_queue_exists() noexcept;

/// Increments AttachDepth and drains the queue; the interpreter must already be held.
inline void enter_attached() noexcept {
  ++detail::attach_depth;
  if (deferred_queue_exists()) drain_deferred_releases();
}
inline void leave_attached() noexcept { --detail::attach_depth; }

/// What `attach()` did, so that `detach()` can undo exactly that.
struct AttachGuard {
  bool ensured = false;
  PyGILState_STATE state{};
};

/// Attaches the calling thread if it is not attached (PyGILState_Ensure). Fails with an internal
/// failure while the interpreter is finalizing.
AttachGuard attach();
void detach(const AttachGuard& guard) noexcept;

/// The saved attachment of a thread that released the interpreter to wait.
struct SuspendedAttachment {
  intptr_t depth;
  PyThreadState* thread_state;
};

/// Releases the interpreter (AttachDepth saved and set to 0).
SuspendedAttachment suspend_attachment() noexcept;
/// Takes the interpreter back, restores AttachDepth and releases queued references.
void resume_attachment(const SuspendedAttachment& saved) noexcept;
/// Takes the interpreter back and restores AttachDepth, releasing nothing: for callers that
/// must not run interpreter code (a deallocation can).
void resume_attachment_quietly(const SuspendedAttachment& saved) noexcept;

}  // namespace mervik
