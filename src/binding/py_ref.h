// PyRef: the owning reference to a Python object.
#pragma once

#include <utility>

#include "binding/python.h"

namespace mervik {

/// Gives up an owned reference: at once when this thread is attached to the interpreter,
/// otherwise at the next guarded entry on any thread.
void release_reference(PyObject* obj) noexcept;

/// One owned reference, released when the PyRef goes away. Move-only; copying is `new_ref()`.
class PyRef {
 public:
  PyRef() noexcept = default;
  PyRef(PyRef&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyRef(std::move(other)).swap(*this);
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() {
    if (ptr_ != nullptr) release_reference(ptr_);
  }

  /// Takes over a reference the caller owns (a new reference from the C API).
  static PyRef steal(PyObject* obj) noexcept { return PyRef(obj); }
  /// Adds a reference to a borrowed object.
  static PyRef borrow(PyObject* obj) noexcept { return PyRef(Py_XNewRef(obj)); }

  PyRef new_ref() const noexcept { return borrow(ptr_); }
  PyObject* get() const noexcept { return ptr_; }
  /// Hands the reference to the caller.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }
  void swap(PyRef& other) noexcept { std::swap(ptr_, other.ptr_); }

 private:
  explicit PyRef(PyObject* obj) noexcept : ptr_(obj) {}
  PyObject* ptr_ = nullptr;
};

}  // namespace mervik
