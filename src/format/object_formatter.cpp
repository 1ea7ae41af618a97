// The recursive object formatter.
//
// One template renders into any sink. For a StringBuffer (the format calls) a write step is a
// plain append; for every other sink (the standard-output writer, test sinks) each step is one
// write_fragments call, exactly as listed in the rendering rules.
#include "format/object_formatter.h"

#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <type_traits>
#include <unordered_set>
#include <typeinfo>
#include <utility>

#include "binding/convert.h"
#include "binding/internal_failure.h"
#include "format/leaf_text.h"
#include "format/string_buffer.h"
#include "format/write_step.h"
#include "platform/compiler.h"

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
    if (n <= kStaticSpaces) [[likely]] {
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

/// An owned reference inside a rendering, which always runs attached to the interpreter: it is
/// released directly, without the checks of PyRef.
class Held {
 public:
  Held() noexcept = default;
  explicit Held(PyObject* borrowed) noexcept : obj_(Py_NewRef(borrowed)) {}
  static Held steal(PyObject* owned) noexcept {
    Held held;
    held.obj_ = owned;
    return held;
  }
  Held(Held&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  Held& operator=(Held&&) = delete;
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  ~Held() { Py_XDECREF(obj_); }
  /// Gives up the reference now (its destructor may run interpreter code).
  void clear() noexcept { Py_XDECREF(std::exchange(obj_, nullptr)); }
  void swap(Held& other) noexcept { std::swap(obj_, other.obj_); }
  PyObject* get() const noexcept { return obj_; }

 private:
  PyObject* obj_ = nullptr;
};

/// The text written for a text object (a leaf's repr(), a class or field name): display_text
/// of it. str() of an exact str is the str itself, so its UTF-8 is read directly, and ASCII
/// text without any copy.
class ShownText {
 public:
  explicit ShownText(PyObject* text) {
    if (PyUnicode_CheckExact(text)) {
      if (PyUnicode_IS_ASCII(text)) {
        view_ = {static_cast<const char*>(PyUnicode_DATA(text)),
                 static_cast<size_t>(PyUnicode_GET_LENGTH(text))};
        return;
      }
      slow_.emplace(str_lossy_text(text));
    } else {
      slow_.emplace(display_text(text));
    }
    view_ = slow_->view();
  }
  std::string_view view() const noexcept { return view_; }

 private:
  std::string_view view_;
  std::optional<Utf8Text> slow_;
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

Result<Held> get_attr(PyObject* obj, PyObject* name) {
  PyObject* value = PyObject_GetAttr(obj, name);
  if (value == nullptr) [[unlikely]] return std::unexpected(fetch_error());
  return Held::steal(value);
}

Result<Held> str_of(PyObject* obj) {
  PyObject* text = PyObject_Str(obj);
  if (text == nullptr) [[unlikely]] return std::unexpected(fetch_error());
  return Held::steal(text);
}

// Instances of these exact types can never carry __dataclass_fields__ (the types are immutable
// and the instances have no attribute dictionary), so the lookup is skipped for them.
MERVIK_ALWAYS_INLINE bool never_dataclass(PyTypeObject* type) noexcept {
  return type == &PyDict_Type || type == &PyList_Type || type == &PyTuple_Type ||
         type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type ||
         type == &PyBool_Type || type == Py_TYPE(Py_None) || type == &PyBytes_Type ||
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
  return platform::add_overflows(current, indent, child) ? UINT64_MAX : child;
}

/// The walk over a dictionary's entries that detects changes made while it is rendered.
class DictCursor {
 public:
  explicit DictCursor(PyObject* dict)
      : dict_(dict), starting_size_(PyDict_GET_SIZE(dict)), remaining_(starting_size_) {}

  /// The next entry as new references, or false at the end. The previous entry held in `key`
  /// and `value` is released after the new one is referenced, key first: its destructors may
  /// change the dictionary and free the new entry's borrowed objects.
  MERVIK_ALWAYS_INLINE bool next(Held& key, Held& value) {
    PyObject *k, *v;
    const bool found = next_borrowed(k, v);
    Held previous_key, previous_value;
    previous_key.swap(key);
    previous_value.swap(value);
    if (found) {
      Held(k).swap(key);
      Held(v).swap(value);
    }
    previous_key.clear();
    previous_value.clear();
    return found;
  }

  /// The next entry as borrowed references, valid until interpreter code next runs.
  MERVIK_ALWAYS_INLINE bool next_borrowed(PyObject*& key, PyObject*& value) {
    if (PyDict_GET_SIZE(dict_.get()) != starting_size_) [[unlikely]] changed_size();
    if (remaining_ == -1) [[unlikely]] keys_changed();
    if (!PyDict_Next(dict_.get(), &position_, &key, &value)) return false;
    --remaining_;
    return true;
  }

 private:
  [[noreturn]] MERVIK_COLD MERVIK_NOINLINE static void changed_size() {
    fail("dictionary changed size during iteration");
  }
  [[noreturn]] MERVIK_COLD MERVIK_NOINLINE static void keys_changed() {
    fail("dictionary keys changed during iteration");
  }

  Held dict_;
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

/// The containers open on the current rendering path, for the self-reference check. The
/// innermost levels of a path are scanned; deeper levels (only very deep values reach them) are
/// kept in a set, so the check stays cheap at any depth.
class OpenPath {
 public:
  bool contains(PyObject* obj) const {
    const size_t scanned = std::min(depth_, kScanned);
    for (size_t i = 0; i < scanned; ++i) {
      if (near_[i] == obj) return true;
    }
    return depth_ > kScanned && deep_.contains(obj);
  }

  /// Marks a container open for the lifetime of the scope.
  class Scope {
   public:
    Scope(OpenPath& path, PyObject* obj) : path_(path), obj_(obj) {
      if (path.depth_ >= kScanned) path.deep_.insert(obj);
      else path.near_[path.depth_] = obj;
      ++path.depth_;
    }
    ~Scope() {
      if (--path_.depth_ >= kScanned) path_.deep_.erase(obj_);
    }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    OpenPath& path_;
    PyObject* obj_;
  };

 private:
  static constexpr size_t kScanned = 32;
  std::array<PyObject*, kScanned> near_{};
  size_t depth_ = 0;
  std::unordered_set<PyObject*> deep_;
};

/// How a container reached again while it is open is written: as repr() marks it.
std::string_view self_reference_marker(bool is_dataclass_instance, unsigned long flags) noexcept {
  if (is_dataclass_instance) return "...";
  if (flags & Py_TPFLAGS_LIST_SUBCLASS) return "[...]";
  if (flags & Py_TPFLAGS_DICT_SUBCLASS) return "{...}";
  return "(...)";
}

// Pending signals are handled after this many items, so that Ctrl-C interrupts a long rendering
// within a fraction of a second.
constexpr uint32_t kSignalCheckInterval = 4096;

// Leaf text kept for a sink other than a StringBuffer is released once it grew past this.
constexpr size_t kScratchKeep = 64 * 1024;

/// One rendering into a sink of type Sink (StringBuffer, or any TextSink).
template <class Sink>
class Renderer {
 public:
  Renderer(Sink& sink, uint64_t indent) noexcept : sink_(sink), indent_(indent) {}

  Result<void> render(PyObject* obj, uint64_t current);

 private:
  Result<void> step(std::initializer_list<std::string_view> fragments);
  /// The step [closing run, level run] that begins every line of a container.
  Result<void> line_start(const SpaceRun& closing, const SpaceRun& level);
  /// Makes room for `count` lines of at least `line_bytes` bytes each: a lower bound of what
  /// the container will write, so the text's storage grows fewer times.
  void expect_lines(Py_ssize_t count, uint64_t line_bytes);
  /// Writes the text of an exact int, float, str, bool or None leaf without calling repr() and
  /// returns true (`written` holds the step's outcome); false for every other object.
  bool native_leaf(PyObject* obj, Result<void>& written);
  Result<void> repr_leaf(PyObject* obj);
  Result<void> sequence(PyObject* seq, bool is_list, uint64_t current);
  Result<void> dict(PyObject* dict, uint64_t current);
  Result<void> dataclass(PyObject* obj, uint64_t current);
  /// Runs pending signal handlers once every kSignalCheckInterval items; a handler's exception
  /// ends the rendering.
  Result<void> poll_signals() {
    if (--until_signal_check_ != 0) [[likely]] return {};
    until_signal_check_ = kSignalCheckInterval;
    if (PyErr_CheckSignals() < 0) return std::unexpected(fetch_error());
    return {};
  }

  Sink& sink_;
  const uint64_t indent_;
  uint32_t until_signal_check_ = kSignalCheckInterval;
  OpenPath open_;
  StringBuffer scratch_;  // native leaf text on its way to a sink other than a StringBuffer
};

template <>
inline Result<void> Renderer<StringBuffer>::step(
    std::initializer_list<std::string_view> fragments) {
  for (std::string_view fragment : fragments) sink_.append(fragment);
  return {};
}

template <>
inline Result<void> Renderer<TextSink>::step(std::initializer_list<std::string_view> fragments) {
  return write_step(sink_, fragments);
}

template <>
inline Result<void> Renderer<StringBuffer>::line_start(const SpaceRun& closing,
                                                       const SpaceRun& level) {
  const size_t n = closing.view().size() + level.view().size();
  if (n <= 2 * kStaticSpaces) {
    sink_.append_spaces(n);
  } else {
    sink_.append(closing.view());
    sink_.append(level.view());
  }
  return {};
}

template <>
inline Result<void> Renderer<TextSink>::line_start(const SpaceRun& closing,
                                                   const SpaceRun& level) {
  return step({closing.view(), level.view()});
}

template <>
inline void Renderer<StringBuffer>::expect_lines(Py_ssize_t count, uint64_t line_bytes) {
  // A list may still shrink while it is rendered, so the bound is only a likely one: it is
  // taken up to a size whose reservation cannot fail in practice.
  constexpr uint64_t kMostExpected = uint64_t{1} << 24;
  uint64_t bytes;
  if (platform::mul_overflows(static_cast<uint64_t>(count), line_bytes, bytes)) return;
  if (bytes <= kMostExpected) sink_.reserve(bytes);
}

template <>
inline void Renderer<TextSink>::expect_lines(Py_ssize_t, uint64_t) {}

template <>
inline bool Renderer<StringBuffer>::native_leaf(PyObject* obj, Result<void>&) {
  return append_native_repr(obj, sink_);
}

template <>
inline bool Renderer<TextSink>::native_leaf(PyObject* obj, Result<void>& written) {
  scratch_.clear(kScratchKeep);
  if (!append_native_repr(obj, scratch_)) return false;
  written = step({scratch_.view()});
  return true;
}

template <class Sink>
Result<void> Renderer<Sink>::repr_leaf(PyObject* obj) {
  PyObject* repr = PyObject_Repr(obj);
  if (repr == nullptr) return std::unexpected(fetch_error());
  const Held owned = Held::steal(repr);
  const ShownText text(repr);
  return step({text.view()});
}

template <class Sink>
Result<void> Renderer<Sink>::render(PyObject* obj, uint64_t current) {
  // Exact leaf types are neither dataclasses nor containers: their text comes first.
  if (Result<void> written; native_leaf(obj, written)) return written;
  const bool is_dataclass_instance = is_dataclass(obj);
  const unsigned long flags = Py_TYPE(obj)->tp_flags;
  const bool container =
      is_dataclass_instance ||
      (flags & (Py_TPFLAGS_LIST_SUBCLASS | Py_TPFLAGS_DICT_SUBCLASS | Py_TPFLAGS_TUPLE_SUBCLASS));
  if (!container) return repr_leaf(obj);
  if (open_.contains(obj)) return step({self_reference_marker(is_dataclass_instance, flags)});
  RecursionScope scope;
  MERVIK_TRY(scope.enter());
  const OpenPath::Scope open(open_, obj);
  if (is_dataclass_instance) return dataclass(obj, current);
  if (flags & Py_TPFLAGS_LIST_SUBCLASS) return sequence(obj, true, current);
  if (flags & Py_TPFLAGS_DICT_SUBCLASS) return dict(obj, current);
  return sequence(obj, false, current);
}

template <class Sink>
Result<void> Renderer<Sink>::sequence(PyObject* seq, bool is_list, uint64_t current) {
  const Py_ssize_t length = is_list ? PyList_GET_SIZE(seq) : PyTuple_GET_SIZE(seq);
  if (length == 0) return step({is_list ? "[]" : "()"});
  Held held(seq);
  SpaceRun closing(current);
  MERVIK_TRY(step({is_list ? "[\n" : "(\n"}));
  const uint64_t child = child_indent(current, indent_);
  expect_lines(length, child_indent(child, 3));  // indentation, one character, ",\n"
  for (Py_ssize_t i = 0;; ++i) {
    MERVIK_TRY(poll_signals());
    // A list may shrink while its items are rendered; items appended meanwhile are not shown.
    const Py_ssize_t bound = is_list ? std::min(length, PyList_GET_SIZE(seq)) : length;
    if (i >= bound) break;
    PyObject* const borrowed = is_list ? PyList_GET_ITEM(seq, i) : PyTuple_GET_ITEM(seq, i);
    SpaceRun level(indent_);
    if constexpr (std::is_same_v<Sink, StringBuffer>) {
      // A native leaf runs no interpreter code, so the item cannot go away while it is written
      // and needs no reference of its own.
      MERVIK_TRY(line_start(closing, level));
      if (!append_native_repr(borrowed, sink_)) {
        Held item(borrowed);
        MERVIK_TRY(render(item.get(), child));
      }
    } else {
      Held item(borrowed);
      MERVIK_TRY(step({closing.view(), level.view()}));
      MERVIK_TRY(render(item.get(), child));
    }
    MERVIK_TRY(step({",\n"}));
  }
  return step({closing.view(), is_list ? "]" : ")"});
}

template <class Sink>
Result<void> Renderer<Sink>::dict(PyObject* dict, uint64_t current) {
  if (PyDict_GET_SIZE(dict) == 0) return step({"{}"});
  SpaceRun closing(current);
  MERVIK_TRY(step({"{\n"}));
  const uint64_t child = child_indent(current, indent_);
  // Indentation, a character of key and of value, ": " and ",\n".
  expect_lines(PyDict_GET_SIZE(dict), child_indent(child, 6));
  DictCursor cursor(dict);
  PyObject *borrowed_key, *borrowed_value;
  while (true) {
    MERVIK_TRY(poll_signals());
    if (!cursor.next_borrowed(borrowed_key, borrowed_value)) break;
    SpaceRun level(indent_);
    if constexpr (std::is_same_v<Sink, StringBuffer>) {
      // As for sequences: native leaves run no interpreter code, so the entry stays alive
      // without references of its own until something else is rendered.
      MERVIK_TRY(line_start(closing, level));
      if (append_native_repr(borrowed_key, sink_)) {
        MERVIK_TRY(step({": "}));
        if (!append_native_repr(borrowed_value, sink_)) {
          Held value(borrowed_value);
          MERVIK_TRY(render(value.get(), child));
        }
        MERVIK_TRY(step({",\n"}));
        continue;
      }
    }
    // Declared in this order so that the key is released before the value.
    Held value(borrowed_value);
    Held key(borrowed_key);
    if constexpr (!std::is_same_v<Sink, StringBuffer>) {
      MERVIK_TRY(step({closing.view(), level.view()}));
    }
    MERVIK_TRY(render(key.get(), child));
    MERVIK_TRY(step({": "}));
    MERVIK_TRY(render(value.get(), child));
    MERVIK_TRY(step({",\n"}));
  }
  return step({closing.view(), "}"});
}

template <class Sink>
Result<void> Renderer<Sink>::dataclass(PyObject* obj, uint64_t current) {
  const InternedNames& n = names();
  MERVIK_TRY_ASSIGN(const Held cls, get_attr(obj, n.class_));
  MERVIK_TRY_ASSIGN(const Held name_obj, get_attr(cls.get(), n.name));
  MERVIK_TRY_ASSIGN(const Held class_name, str_of(name_obj.get()));
  MERVIK_TRY_ASSIGN(const Held fields, get_attr(obj, n.dataclass_fields));
  if (!PyDict_Check(fields.get())) {
    return std::unexpected(cast_error(fields.get(), reinterpret_cast<PyObject*>(&PyDict_Type)));
  }
  const ShownText class_text(class_name.get());
  if (PyDict_GET_SIZE(fields.get()) == 0) return step({class_text.view(), "()"});
  SpaceRun closing(current);
  MERVIK_TRY(step({class_text.view(), "(\n"}));
  const uint64_t child = child_indent(current, indent_);
  DictCursor cursor(fields.get());
  Held field, key;  // the key is released first, as in every entry
  while (true) {
    MERVIK_TRY(poll_signals());
    if (!cursor.next(key, field)) break;
    MERVIK_TRY_ASSIGN(const Held field_name, str_of(key.get()));
    MERVIK_TRY_ASSIGN(const Held value, get_attr(obj, field_name.get()));
    SpaceRun level(indent_);
    const ShownText name_text(field_name.get());
    MERVIK_TRY(step({closing.view(), level.view(), name_text.view(), "="}));
    MERVIK_TRY(render(value.get(), child));
    MERVIK_TRY(step({",\n"}));
  }
  return step({closing.view(), ")"});
}

}  // namespace

Result<void> ObjectFormatter::render(PyObject* obj, uint64_t indent, uint64_t current,
                                     TextSink& sink) {
  if (typeid(sink) == typeid(StringBuffer)) {
    return Renderer<StringBuffer>(static_cast<StringBuffer&>(sink), indent).render(obj, current);
  }
  return Renderer<TextSink>(sink, indent).render(obj, current);
}

}  // namespace mervik
