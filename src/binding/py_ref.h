// OwnedRef: the owning reference to a Python object, and PyRef, the one used everywhere but
// inside a rendering.
#pragma once

#include <utility>

#include "binding/python.h"
#include "platform/compiler.h"

namespace mervik {

/// Gives up an owned reference: at once when this thread is attached to the interpreter,
/// otherwise at the next guarded entry on any thread.
void release_reference(PyObject* obj) noexcept;

/// One owned reference, given up through `Release::release(obj)` when the OwnedRef goes away.
/// Move-only; copying is `new_ref()`.
template <class Release>
class OwnedRef {
 public:
  OwnedRef() noexcept = default;
  /// Adds a reference to a borrowed object, which must not be null.
  explicit OwnedRef(PyObject* borrowed) noexcept : ptr_(Py_NewRef(borrowed)) {}
  OwnedRef(OwnedRef&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    OwnedRef(std::move(other)).swap(*this);
    return *this;
  }
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  MERVIK_ALWAYS_INLINE ~OwnedRef() {
    if (ptr_ != nullptr) Release::release(ptr_);
  }

  /// Takes over a reference the caller owns (a new reference from the C API).
  static OwnedRef steal(PyObject* obj) noexcept {
    OwnedRef ref;
    ref.ptr_ = obj;
    return ref;
  }
  /// Adds a reference to a borrowed object, or holds nothing for null.
  static OwnedRef borrow(PyObject* obj) noexcept { return steal(Py_XNewRef(obj)); }

  OwnedRef new_ref() const noexcept { return borrow(ptr_); }
  PyObject* get() const noexcept { return ptr_; }
  /// Hands the reference to the caller.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
  /// Gives up the reference now (its destructor may run interpreter code).
  MERVIK_ALWAYS_INLINE void clear() noexcept {
    if (PyObject* obj = std::exchange(ptr_, nullptr)) Release::release(obj);
  }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }
  void swap(OwnedRef& other) noexcept { std::swap(ptr_, other.ptr_); }

 private:
  PyObject* ptr_ = nullptr;
};

/// Releases on any thread, attached or not (release_reference).
struct AnyThreadRelease {
  static void release(PyObject* obj) noexcept { release_reference(obj); }
};

using PyRef = OwnedRef<AnyThreadRelease>;

}  // namespace mervik
