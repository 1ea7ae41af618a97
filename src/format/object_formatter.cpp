// The recursive object formatter.
#include "format/object_formatter.h"

#include <array>
#include <memory>

#include "binding/convert.h"
#include "binding/internal_failure.h"
#include "format/write_step.h"

namespace mervik {
namespace {

// Runs of up to this many spaces are served from static storage.
constexpr size_t kStaticSpaces = 4096;
constexpr auto kSpaces = [] {
  std::array<char, kStaticSpaces> spaces{};
  spaces.fill(' ');
  return spaces;
}();

/// A run of N spaces: a view of static storage, or an owned allocation for long runs.
class SpaceRun {
 public:
  explicit SpaceRun(uint64_t n) {
    if (n <= kStaticSpaces) {
      view_ = std::string_view(kSpaces.data(), n);
      return;
    }
    if (n >= (uint64_t{1} << 63)) fail("capacity overflow");
    owned_ = std::make_unique_for_overwrite<char[]>(n);  // std::bad_alloc -> MemoryError
    std::fill_n(owned_.get(), n, ' ');
    view_ = std::string_view(owned_.get(), n);
  }
  std::string_view view() const noexcept { return view_; }

 private:
  std::unique_ptr<char[]> owned_;
  std::string_view view_;
};

struct InternedNames {
  PyObject* dataclass_fields;
  PyObject* class_;
  PyObject* name;
};

const InternedNames& names() {
  static const InternedNames interned = [] {
    auto intern = [](const char* text) {
      PyObject* s = PyUnicode_InternFromString(text);
      if (s == nullptr) api_call_failed();
      return s;
    };
    return InternedNames{intern("__dataclass_fields__"), intern("__class__"), intern("__name__")};
  }();
  return interned;
}

Result<PyRef> get_attr(PyObject* obj, PyObject* name) {
  PyObject* value = PyObject_GetAttr(obj, name);
  if (value == nullptr) return std::unexpected(fetch_error());
  return PyRef::steal(value);
}

Result<PyRef> str_of(PyObject* obj) {
  PyObject* text = PyObject_Str(obj);
  if (text == nullptr) return std::unexpected(fetch_error());
  return PyRef::steal(text);
}

// Instances of these exact types can never carry __dataclass_fields__ (the types are immutable
// and the instances have no attribute dictionary), so the lookup is skipped for them.
bool never_dataclass(PyTypeObject* type) noexcept {
  return type == &PyLong_Type || type == &PyUnicode_Type || type == &PyFloat_Type ||
         type == &PyBool_Type || type == Py_TYPE(Py_None) || type == &PyBytes_Type ||
         type == &PyList_Type || type == &PyDict_Type || type == &PyTuple_Type ||
         type == &PyComplex_Type || type == &PySet_Type || type == &PyFrozenSet_Type;
}

// The dataclass test: any successful lookup counts; every failure means "not a dataclass" and
// is discarded.
bool is_dataclass(PyObject* obj) {
  if (never_dataclass(Py_TYPE(obj))) return false;
  PyObject* fields;
  int found = PyObject_GetOptionalAttr(obj, names().dataclass_fields, &fields);
  if (found < 0) {
    PyErr_Clear();
    return false;
  }
  Py_XDECREF(fields);
  return found == 1;
}

uint64_t child_indent(uint64_t current, uint64_t indent) noexcept {
  uint64_t child;
  return __builtin_add_overflow(current, indent, &child) ? UINT64_MAX : child;
}

/// The walk over a dictionary's entries that detects changes made while it is rendered.
class DictCursor {
 public:
  explicit DictCursor(PyObject* dict)
      : dict_(PyRef::borrow(dict)),
        starting_size_(PyDict_GET_SIZE(dict)),
        remaining_(starting_size_) {}

  /// The next entry as new references, or false at the end.
  bool next(PyRef& key, PyRef& value) {
    if (PyDict_GET_SIZE(dict_.get()) != starting_size_) {
      fail("dictionary changed size during iteration");
    }
    if (remaining_ == -1) fail("dictionary keys changed during iteration");
    PyObject *k, *v;
    if (!PyDict_Next(dict_.get(), &position_, &k, &v)) return false;
    --remaining_;
    key = PyRef::borrow(k);
    value = PyRef::borrow(v);
    return true;
  }

 private:
  PyRef dict_;
  Py_ssize_t position_ = 0;
  Py_ssize_t starting_size_;
  Py_ssize_t remaining_;
};

/// Holds one level of the interpreter's recursion guard.
class RecursionScope {
 public:
  Result<void> enter() {
    if (Py_EnterRecursiveCall(" while pretty-formatting an object") != 0) {
      return std::unexpected(fetch_error());
    }
    entered_ = true;
    return {};
  }
  ~RecursionScope() {
    if (entered_) Py_LeaveRecursiveCall();
  }

 private:
  bool entered_ = false;
};

Result<void> render_sequence(PyObject* seq, bool is_list, uint64_t indent, uint64_t current,
                             TextSink& sink) {
  const Py_ssize_t length = is_list ? PyList_GET_SIZE(seq) : PyTuple_GET_SIZE(seq);
  if (length == 0) return write_step(sink, {is_list ? "[]" : "()"});
  PyRef held = PyRef::borrow(seq);
  SpaceRun closing(current);
  MERVIK_TRY(write_step(sink, {is_list ? "[\n" : "(\n"}));
  const uint64_t child = child_indent(current, indent);
  for (Py_ssize_t i = 0;; ++i) {
    // A list may shrink while its items are rendered; items appended meanwhile are not shown.
    const Py_ssize_t bound = is_list ? std::min(length, PyList_GET_SIZE(seq)) : length;
    if (i >= bound) break;
    PyRef item = PyRef::borrow(is_list ? PyList_GET_ITEM(seq, i) : PyTuple_GET_ITEM(seq, i));
    SpaceRun level(indent);
    MERVIK_TRY(write_step(sink, {closing.view(), level.view()}));
    MERVIK_TRY(ObjectFormatter::render(item.get(), indent, child, sink));
    MERVIK_TRY(write_step(sink, {",\n"}));
  }
  return write_step(sink, {closing.view(), is_list ? "]" : ")"});
}

Result<void> render_dict(PyObject* dict, uint64_t indent, uint64_t current, TextSink& sink) {
  if (PyDict_GET_SIZE(dict) == 0) return write_step(sink, {"{}"});
  SpaceRun closing(current);
  MERVIK_TRY(write_step(sink, {"{\n"}));
  const uint64_t child = child_indent(current, indent);
  DictCursor cursor(dict);
  PyRef key, value;
  while (cursor.next(key, value)) {
    SpaceRun level(indent);
    MERVIK_TRY(write_step(sink, {closing.view(), level.view()}));
    MERVIK_TRY(ObjectFormatter::render(key.get(), indent, child, sink));
    MERVIK_TRY(write_step(sink, {": "}));
    MERVIK_TRY(ObjectFormatter::render(value.get(), indent, child, sink));
    MERVIK_TRY(write_step(sink, {",\n"}));
  }
  return write_step(sink, {closing.view(), "}"});
}

Result<void> render_dataclass(PyObject* obj, uint64_t indent, uint64_t current, TextSink& sink) {
  const InternedNames& n = names();
  PyRef cls = MERVIK_TRY(get_attr(obj, n.class_));
  PyRef name_obj = MERVIK_TRY(get_attr(cls.get(), n.name));
  PyRef class_name = MERVIK_TRY(str_of(name_obj.get()));
  PyRef fields = MERVIK_TRY(get_attr(obj, n.dataclass_fields));
  if (!PyDict_Check(fields.get())) {
    return std::unexpected(cast_error(fields.get(), reinterpret_cast<PyObject*>(&PyDict_Type)));
  }
  const Utf8Text class_text = display_text(class_name.get());
  if (PyDict_GET_SIZE(fields.get()) == 0) return write_step(sink, {class_text.view(), "()"});
  SpaceRun closing(current);
  MERVIK_TRY(write_step(sink, {class_text.view(), "(\n"}));
  const uint64_t child = child_indent(current, indent);
  DictCursor cursor(fields.get());
  PyRef key, field;
  while (cursor.next(key, field)) {
    PyRef field_name = MERVIK_TRY(str_of(key.get()));
    PyRef value = MERVIK_TRY(get_attr(obj, field_name.get()));
    SpaceRun level(indent);
    const Utf8Text name_text = display_text(field_name.get());
    MERVIK_TRY(write_step(sink, {closing.view(), level.view(), name_text.view(), "="}));
    MERVIK_TRY(ObjectFormatter::render(value.get(), indent, child, sink));
    MERVIK_TRY(write_step(sink, {",\n"}));
  }
  return write_step(sink, {closing.view(), ")"});
}

Result<void> render_leaf(PyObject* obj, TextSink& sink) {
  PyObject* repr = PyObject_Repr(obj);
  if (repr == nullptr) return std::unexpected(fetch_error());
  PyRef owned = PyRef::steal(repr);
  const Utf8Text text = display_text(repr);
  return write_step(sink, {text.view()});
}

}  // namespace

Result<void> ObjectFormatter::render(PyObject* obj, uint64_t indent, uint64_t current,
                                     TextSink& sink) {
  const bool dataclass = is_dataclass(obj);
  const unsigned long flags = Py_TYPE(obj)->tp_flags;
  const bool container =
      dataclass ||
      (flags & (Py_TPFLAGS_LIST_SUBCLASS | Py_TPFLAGS_DICT_SUBCLASS | Py_TPFLAGS_TUPLE_SUBCLASS));
  if (!container) return render_leaf(obj, sink);
  RecursionScope scope;
  MERVIK_TRY(scope.enter());
  if (dataclass) return render_dataclass(obj, indent, current, sink);
  if (flags & Py_TPFLAGS_LIST_SUBCLASS) return render_sequence(obj, true, indent, current, sink);
  if (flags & Py_TPFLAGS_DICT_SUBCLASS) return render_dict(obj, indent, current, sink);
  return render_sequence(obj, false, indent, current, sink);
}

}  // namespace mervik
