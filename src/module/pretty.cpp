// The Pretty class: instance layout, borrows, constructor, the indent attribute, format/print
// and the type object.
#include "module/pretty.h"

#include <array>
#include <atomic>

#include "binding/convert.h"
#include "binding/once.h"
#include "format/object_formatter.h"
#include "module/surface.h"
#include "output/stdout_print.h"

namespace mervik {
namespace {

struct PrettyObject {
  PyObject_HEAD
  uint64_t indent;
  /// 0: free; n > 0: n shared borrows; -1: one exclusive borrow.
  std::atomic<int64_t> borrows;
};

/// A shared borrow of an instance, released when it goes away.
class SharedBorrow {
 public:
  static Result<SharedBorrow> take(PrettyObject* self) {
    int64_t current = self->borrows.load(std::memory_order_relaxed);
    do {
      if (current == -1) {
        return std::unexpected(make_error(PyExc_RuntimeError, "Already mutably borrowed"));
      }
    } while (!self->borrows.compare_exchange_weak(current, current + 1, std::memory_order_acquire));
    return SharedBorrow(self);
  }
  SharedBorrow(SharedBorrow&& other) noexcept : self_(std::exchange(other.self_, nullptr)) {}
  SharedBorrow& operator=(SharedBorrow&&) = delete;
  ~SharedBorrow() {
    if (self_ != nullptr) self_->borrows.fetch_sub(1, std::memory_order_release);
  }
  uint64_t indent() const noexcept { return self_->indent; }

 private:
  explicit SharedBorrow(PrettyObject* self) : self_(self) {}
  PrettyObject* self_;
};

/// The exclusive borrow of an instance, released when it goes away.
class ExclusiveBorrow {
 public:
  static Result<ExclusiveBorrow> take(PrettyObject* self) {
    int64_t expected = 0;
    if (!self->borrows.compare_exchange_strong(expected, -1, std::memory_order_acquire)) {
      return std::unexpected(make_error(PyExc_RuntimeError, "Already borrowed"));
    }
    return ExclusiveBorrow(self);
  }
  ExclusiveBorrow(ExclusiveBorrow&& other) noexcept : self_(std::exchange(other.self_, nullptr)) {}
  ExclusiveBorrow& operator=(ExclusiveBorrow&&) = delete;
  ~ExclusiveBorrow() {
    if (self_ != nullptr) self_->borrows.store(0, std::memory_order_release);
  }
  void set_indent(uint64_t indent) noexcept { self_->indent = indent; }

 private:
  explicit ExclusiveBorrow(PrettyObject* self) : self_(self) {}
  PrettyObject* self_;
};

/// The receiver as a Pretty instance, or the cast error naming Pretty.
Result<PrettyObject*> receiver(PyObject* self) {
  MERVIK_TRY_ASSIGN(PyObject* type, pretty_type());
  PyTypeObject* actual = Py_TYPE(self);
  if (actual != reinterpret_cast<PyTypeObject*>(type) &&
      !PyType_IsSubtype(actual, reinterpret_cast<PyTypeObject*>(type))) {
    return std::unexpected(cast_error(self, type));
  }
  return reinterpret_cast<PrettyObject*>(self);
}

PyObject* pretty_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return run_guarded([&]() -> Result<PyRef> {
    std::array<PyObject*, kPrettyNew.kSlots> slots{};
    MERVIK_TRY(bind_tuple_dict_call(kSignatureOf<kPrettyNew>, args, kwargs, slots));
    MERVIK_TRY_ASSIGN(const uint64_t indent, indent_argument(slots[0]));
    allocfunc alloc = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
    PyObject* obj = alloc(type, 0);
    if (obj == nullptr) return std::unexpected(fetch_error());
    auto* self = reinterpret_cast<PrettyObject*>(obj);
    self->indent = indent;
    new (&self->borrows) std::atomic<int64_t>(0);
    return PyRef::steal(obj);
  });
}

void pretty_dealloc(PyObject* self) {
  run_guarded_unraisable([&] {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
  });
}

PyObject* get_indent(PyObject* self, void*) {
  return run_guarded([&]() -> Result<PyRef> {
    MERVIK_TRY_ASSIGN(PrettyObject* pretty, receiver(self));
    MERVIK_TRY_ASSIGN(const SharedBorrow borrow, SharedBorrow::take(pretty));
    return new_int_object(borrow.indent());
  });
}

int set_indent(PyObject* self, PyObject* value, void*) {
  return run_guarded([&]() -> Result<void> {
    if (value == nullptr) {
      return std::unexpected(make_error(PyExc_AttributeError, "can't delete attribute"));
    }
    MERVIK_TRY_ASSIGN(const uint64_t indent, indent_argument(value));
    MERVIK_TRY_ASSIGN(PrettyObject* pretty, receiver(self));
    MERVIK_TRY_ASSIGN(ExclusiveBorrow borrow, ExclusiveBorrow::take(pretty));
    borrow.set_indent(indent);
    return {};
  });
}

Result<PyRef> format_method(PyObject* self, Slots slots) {
  MERVIK_TRY_ASSIGN(PrettyObject* pretty, receiver(self));
  MERVIK_TRY_ASSIGN(const SharedBorrow borrow, SharedBorrow::take(pretty));
  // The borrow is held until the result str exists.
  return ObjectFormatter::format(slots[0], borrow.indent());
}

Result<PyRef> print_method(PyObject* self, Slots slots) {
  MERVIK_TRY_ASSIGN(PrettyObject* pretty, receiver(self));
  MERVIK_TRY_ASSIGN(const SharedBorrow borrow, SharedBorrow::take(pretty));
  MERVIK_TRY(print_object(slots[0], borrow.indent()));
  return PyRef::borrow(Py_None);
}

PyMethodDef pretty_methods[] = {
    method_def<kPrettyFormatMethod, format_method>(),
    method_def<kPrettyPrintMethod, print_method>(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef pretty_getset[] = {
    {kIndent.name.data(), get_indent, set_indent, kIndentDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot pretty_slots[] = {
    {Py_tp_doc, const_cast<char*>(kPrettyNew.doc)},
    {Py_tp_new, reinterpret_cast<void*>(pretty_new)},
    {Py_tp_methods, pretty_methods},
    {Py_tp_getset, pretty_getset},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(pretty_dealloc)},
    {0, nullptr},
};

PyType_Spec pretty_spec = {
    "builtins.Pretty", static_cast<int>(sizeof(PrettyObject)), 0, Py_TPFLAGS_DEFAULT, pretty_slots,
};

std::atomic<PyObject*> type_cell{nullptr};
DetachedOnce type_once;

}  // namespace

Result<PyObject*> pretty_type() {
  if (PyObject* type = type_cell.load(std::memory_order_acquire)) return type;
  MERVIK_TRY(type_once.run([]() -> Result<void> {
    PyObject* type = PyType_FromSpec(&pretty_spec);
    if (type == nullptr) {
      PyErr cause = fetch_error();
      PyErr err =
          make_error(PyExc_RuntimeError, "An error occurred while initializing class Pretty");
      normalized_value(err);
      set_error_cause(err, std::move(cause));
      return std::unexpected(std::move(err));
    }
    type_cell.store(type, std::memory_order_release);
    return {};
  }));
  return type_cell.load(std::memory_order_acquire);
}

}  // namespace mervik
