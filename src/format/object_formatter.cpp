// The recursive object formatter.
//
// One template renders into any sink. For a StringBuffer (the format calls) a write step is a
// plain append; for every other sink (the standard-output writer, test sinks) each step is one
// write_fragments call, exactly as listed in the rendering rules.
#include "format/object_formatter.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <optional>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <vector>

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
  MERVIK_ALWAYS_INLINE explicit SpaceRun(uint64_t n) {
    if (n <= kStaticSpaces) [[likely]] {
      view_ = std::string_view(kSpaces.data(), n);
      return;
    }
    owned_ = spaces(n);
    view_ = std::string_view(owned_.get(), n);
  }
  std::string_view view() const noexcept { return view_; }

 private:
  MERVIK_NOINLINE static std::unique_ptr<char[]> spaces(uint64_t n) {
    if (n >= (uint64_t{1} << 63)) fail("capacity overflow");
    auto owned = std::make_unique_for_overwrite<char[]>(n);  // std::bad_alloc -> MemoryError
    std::fill_n(owned.get(), n, ' ');
    return owned;
  }

  std::unique_ptr<char[]> owned_;
  std::string_view view_;
};

class LineRun;

// The print under way on this thread, whose finished lines must reach the system before a
// released reference runs interpreter code.
constinit thread_local LineRun* active_run = nullptr;

// Out of line, so that the thread-local lookup (a call in a shared library) is made only for
// a last reference, not wherever a reference may be released.
MERVIK_NOINLINE void release_last(PyObject* obj) noexcept;

// Objects of these exact types are freed without running interpreter code.
MERVIK_ALWAYS_INLINE bool freed_quietly(PyObject* obj) noexcept {
  PyTypeObject* type = Py_TYPE(obj);
  return type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type ||
         type == &PyBytes_Type || type == &PyComplex_Type;
}

/// Gives up a reference; the last one of an object that may run code when freed is given up
/// with the print's finished lines sent first.
MERVIK_ALWAYS_INLINE void release(PyObject* obj) noexcept {
  if (Py_REFCNT(obj) == 1 && !freed_quietly(obj)) [[unlikely]] {
    release_last(obj);
    return;
  }
  Py_DECREF(obj);
}

/// Gives up references inside a rendering, which always runs attached to the interpreter:
/// directly, without PyRef's check for an attached thread, and after the print's finished lines
/// when the object's destructor may run code.
struct RenderingRelease {
  MERVIK_ALWAYS_INLINE static void release(PyObject* obj) noexcept { mervik::release(obj); }
};

/// An owned reference inside a rendering.
using Held = OwnedRef<RenderingRelease>;

/// The text written for a text object (a leaf's repr(), a class or field name): display_text
/// of it. str() of an exact str is the str itself, so its UTF-8 is read directly, and ASCII
/// text without any copy.
class ShownText {
 public:
  MERVIK_ALWAYS_INLINE explicit ShownText(PyObject* text) {
    if (PyUnicode_CheckExact(text) && PyUnicode_IS_ASCII(text)) [[likely]] {
      view_ = ascii_view(text);
      ascii_ = true;
      return;
    }
    convert(text);
  }
  /// The text shown for an exact str known to be ASCII: its own bytes.
  MERVIK_ALWAYS_INLINE static std::string_view ascii_view(PyObject* text) noexcept {
    return {static_cast<const char*>(PyUnicode_DATA(text)),
            static_cast<size_t>(PyUnicode_GET_LENGTH(text))};
  }
  std::string_view view() const noexcept { return view_; }
  /// True when the text is known to be ASCII (it may be even when this says no).
  bool ascii() const noexcept { return ascii_; }

 private:
  MERVIK_NOINLINE void convert(PyObject* text) {
    if (PyUnicode_CheckExact(text)) {
      slow_.emplace(str_lossy_text(text));
    } else {
      slow_.emplace(display_text(text));
    }
    view_ = slow_->view();
  }

  std::string_view view_;
  bool ascii_ = false;
  std::optional<Utf8Text> slow_;
};

struct InternedNames {
  PyObject* dataclass_fields;
  PyObject* class_;
  PyObject* name;
};

const InternedNames& names() {
  static const InternedNames interned{interned_name("__dataclass_fields__"),
                                      interned_name("__class__"), interned_name("__name__")};
  return interned;
}

MERVIK_ALWAYS_INLINE Result<Held> get_attr(PyObject* obj, PyObject* name) {
  PyObject* value = PyObject_GetAttr(obj, name);
  if (value == nullptr) [[unlikely]]
    return std::unexpected(fetch_error());
  return Held::steal(value);
}

Result<Held> str_of(PyObject* obj) {
  PyObject* text = PyObject_Str(obj);
  if (text == nullptr) [[unlikely]]
    return std::unexpected(fetch_error());
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
// is discarded. What the lookup found is kept in `kept` when that is given.
bool has_dataclass_fields(PyObject* obj, Held* kept) {
  PyObject* fields;
  int found = PyObject_GetOptionalAttr(obj, names().dataclass_fields, &fields);
  if (found < 0) {
    PyErr_Clear();
    return false;
  }
  if (kept != nullptr && found == 1) {
    *kept = Held::steal(fields);
  } else {
    Py_XDECREF(fields);
  }
  return found == 1;
}

/// True when a generic lookup that found `attribute` in the class (or nothing) runs no
/// interpreter code: a plain class attribute, a slot, a C-level property or a function.
bool found_runs_no_code(PyObject* attribute) {
  if (attribute == nullptr) return true;
  PyTypeObject* kind = Py_TYPE(attribute);
  return kind->tp_descr_get == nullptr || kind == &PyMemberDescr_Type ||
         kind == &PyGetSetDescr_Type || kind == &PyFunction_Type;
}

/// True when a generic lookup that found `attribute` in the class (or nothing) runs no code and
/// answers with an object stored in the instance or its class (the instance dictionary, a slot
/// or a plain class attribute), so that the same lookup made again while no code ran in between
/// gives the same object.
bool found_is_stored(PyObject* attribute) {
  if (attribute == nullptr) return true;
  PyTypeObject* kind = Py_TYPE(attribute);
  return kind->tp_descr_get == nullptr || kind == &PyMemberDescr_Type;
}

bool generic_lookup(PyTypeObject* type) { return type->tp_getattro == PyObject_GenericGetAttr; }

/// True when looking `name` up on `obj` cannot run interpreter code: the generic lookup finding
/// what found_runs_no_code accepts; also the name of a class whose metaclass is `type`. The
/// class lookup is served by the interpreter's cache of lookups by version tag; the kind of what
/// it found is asked anew every time, as code may change it without touching the class.
bool lookup_runs_no_code(PyObject* obj, PyObject* name) {
  PyTypeObject* type = Py_TYPE(obj);
  if (type == &PyType_Type) return name == names().name;
  return generic_lookup(type) && found_runs_no_code(_PyType_Lookup(type, name));
}

/// What the lookup of `__class__` finds in a class that does not define its own: the attribute
/// every object inherits, whose value is the object's type.
PyObject* inherited_class_attribute() {
  static PyObject* const inherited = _PyType_Lookup(&PyBaseObject_Type, names().class_);
  return inherited;
}

/// Text written as it is: an exact str of ASCII characters without line breaks.
bool plain_text(PyObject* text) noexcept {
  if (!PyUnicode_CheckExact(text) || !PyUnicode_IS_ASCII(text)) return false;
  const auto length = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
  return length == 0 || std::memchr(PyUnicode_DATA(text), '\n', length) == nullptr;
}

/// What a rendering learned of the classes of the dataclass instances it wrote, so that the
/// instances of a class after the first are written with fewer lookups. What the lookups of
/// `__dataclass_fields__` and `__class__` find in the class depends only on the dictionaries of
/// the class and its bases, and the class's version tag changes with any change to them, so it
/// holds (and stays alive) while the tag is the same. A print learns more: whether looking up
/// `__dataclass_fields__`, `__class__` and each field on an instance runs no interpreter code,
/// and which names (the class's and its fields') are plain_text; this holds while besides no
/// interpreter code ran since it was learned (code could change the kind of an attribute found
/// in the class: LineRun::code_runs). A format call counts no code runs, and so uses only what
/// the tag guards. The names are held, so that no other name can come to have a remembered
/// one's address; each field is remembered by its position in the fields' dictionary and
/// checked by its name.
class KnownClasses {
 public:
  static constexpr size_t kClasses = 4;
  static constexpr size_t kFields = 16;
  static constexpr uint8_t kNoCode = 1;  // a field's lookup runs no interpreter code
  static constexpr uint8_t kPlain = 2;   // a field's name is plain_text

  struct Entry {
    PyTypeObject* type = nullptr;
    unsigned int version = 0;  // 0: nothing known
    uint64_t code_runs = 0;
    PyObject* fields_found = nullptr;  // found for __dataclass_fields__ in the class; borrowed
    bool class_inherited = false;      // __class__ is found as inherited_class_attribute()
    bool fields_no_code = false;  // the lookup of __dataclass_fields__
    bool class_no_code = false;   // the lookup of __class__
    PyObject* class_name = nullptr;  // held; the last name shown for the class
    bool class_name_plain = false;
    size_t count = 0;  // fields remembered (a forgotten one between has no name)
    std::array<PyObject*, kFields> names{};  // held exact strs
    std::array<uint8_t, kFields> verdicts{};
  };

  KnownClasses() = default;
  KnownClasses(const KnownClasses&) = delete;
  KnownClasses& operator=(const KnownClasses&) = delete;
  ~KnownClasses() {
    for (Entry& entry : entries_) forget(entry);
  }

  /// The entry of `type` while it holds, or null.
  MERVIK_ALWAYS_INLINE Entry* find(PyTypeObject* type, uint64_t code_runs) noexcept {
    for (Entry& entry : entries_) {
      if (entry.type == type) {
        if (entry.version != 0 && entry.version == type->tp_version_tag &&
            entry.code_runs == code_runs) [[likely]]
          return &entry;
        return nullptr;
      }
    }
    return nullptr;
  }

  /// The entry of the class of `obj`, made afresh (taking another class's place) unless it
  /// holds; null while the class has no version tag.
  MERVIK_NOINLINE Entry* learn(PyObject* obj, uint64_t code_runs) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    const bool generic = generic_lookup(type);
    PyObject* fields_found = _PyType_Lookup(type, names().dataclass_fields);  // tags the class
    PyObject* class_found = _PyType_Lookup(type, names().class_);
    if (type->tp_version_tag == 0) return nullptr;
    Entry* entry = nullptr;
    for (Entry& candidate : entries_) {
      if (candidate.type == type) entry = &candidate;
    }
    if (entry == nullptr) {
      entry = &entries_[next_];
      next_ = (next_ + 1) % kClasses;
    }
    forget(*entry);
    entry->type = type;
    entry->version = type->tp_version_tag;
    entry->code_runs = code_runs;
    entry->fields_found = fields_found;
    entry->class_inherited = generic && class_found == inherited_class_attribute();
    entry->fields_no_code = generic && found_runs_no_code(fields_found);
    entry->class_no_code = generic && found_runs_no_code(class_found);
    ++learns_;
    return entry;
  }

  uint64_t learns() const noexcept { return learns_; }

  /// Remembers the verdict of field `i` named `name`, an exact str.
  static void remember(Entry& entry, size_t i, PyObject* name, uint8_t verdict) noexcept {
    if (i >= kFields) return;
    Py_XDECREF(entry.names[i]);  // exact strs: no code runs
    entry.names[i] = Py_NewRef(name);
    entry.verdicts[i] = verdict;
    entry.count = std::max(entry.count, i + 1);
  }

  /// Whether the class name `name` is plain_text, remembered while it is an exact str.
  static bool class_name_plain(Entry* entry, PyObject* name) noexcept {
    if (entry == nullptr) return plain_text(name);
    if (entry->class_name != name) {
      if (!PyUnicode_CheckExact(name)) return false;
      Py_XDECREF(entry->class_name);  // an exact str: no code runs
      entry->class_name = Py_NewRef(name);
      entry->class_name_plain = plain_text(name);
    }
    return entry->class_name_plain;
  }

 private:
  static void forget(Entry& entry) noexcept {
    for (size_t i = 0; i < entry.count; ++i) Py_XDECREF(entry.names[i]);
    Py_XDECREF(entry.class_name);
    entry = Entry{};
  }

  std::array<Entry, kClasses> entries_{};
  size_t next_ = 0;
  uint64_t learns_ = 0;
};

/// A class's entry as found for one instance, trusted while neither interpreter code ran nor
/// another entry was made (only these change which entry holds for the class).
struct KnownEntry {
  KnownClasses::Entry* entry = nullptr;
  uint64_t code_runs = UINT64_MAX;
  uint64_t learns = 0;
};

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
    if (PyDict_GET_SIZE(dict_.get()) != starting_size_) [[unlikely]]
      changed_size();
    if (remaining_ == -1) [[unlikely]]
      keys_changed();
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

/// The containers open on the current rendering path, for the self-reference check. A path of
/// up to kScanned levels is scanned. A deeper one (only deep values have one) is kept whole in a
/// table of open addressing besides, so that the check stays a probe or two at any depth.
/// Containers leave the path in the reverse order of their arrival, so one leaves the table by
/// having its slot cleared: no container still there went past that slot when it was placed
/// (the slot was free then, or held a container that left the table before it).
class OpenPath {
 public:
  bool contains(PyObject* obj) const noexcept {
    if (depth_ > kScanned) [[unlikely]]
      return slot_of(obj) != nullptr;
    for (size_t i = 0; i < depth_; ++i) {
      if (near_[i] == obj) return true;
    }
    return false;
  }

  /// Marks a container open for the lifetime of the scope.
  class Scope {
   public:
    Scope(OpenPath& path, PyObject* obj) : path_(path), obj_(obj) {
      const size_t level = path.depth_++;
      if (level < kScanned) [[likely]] {
        path.near_[level] = obj;
        return;
      }
      path.enter_deep(obj, level);
    }
    ~Scope() {
      const size_t level = --path_.depth_;
      if (level >= kScanned) [[unlikely]]
        path_.leave_deep(obj_, level);
    }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    OpenPath& path_;
    PyObject* const obj_;
  };

 private:
  static constexpr size_t kScanned = 8;
  static constexpr size_t kFirstSlots = 512;

  /// The first of the slots where `obj` is looked for.
  size_t home(PyObject* obj) const noexcept {
    const uint64_t address = reinterpret_cast<uintptr_t>(obj) >> 4;
    return static_cast<size_t>((address * 0x9E3779B97F4A7C15u) >> shift_);
  }
  /// The slot holding `obj` in the table, or null.
  PyObject** slot_of(PyObject* obj) const noexcept {
    for (size_t i = home(obj);; i = (i + 1) & mask_) {
      PyObject* const held = table_[i];
      if (held == obj) return &table_[i];
      if (held == nullptr) return nullptr;
    }
  }
  void place(PyObject* obj) noexcept {
    size_t i = home(obj);
    while (table_[i] != nullptr) i = (i + 1) & mask_;
    table_[i] = obj;
  }
  /// A table of `slots` slots (a power of two) holding the path in its order.
  void make_table(size_t slots) {
    table_ = std::make_unique<PyObject*[]>(slots);  // null slots
    mask_ = slots - 1;
    shift_ = 64 - static_cast<unsigned>(std::countr_zero(slots));
    for (PyObject* obj : near_) place(obj);
    for (PyObject* obj : deep_) place(obj);
  }
  // Past the scanned levels: the whole path goes into the table, which is kept at most half
  // full. It is made once per rendering, and is empty whenever the path is not deep.
  MERVIK_NOINLINE void enter_deep(PyObject* obj, size_t level) {
    if (table_ == nullptr) {
      deep_.reserve(kFirstSlots / 2);
      make_table(kFirstSlots);
    } else if (level == kScanned) {
      for (PyObject* open : near_) place(open);
    } else if (2 * (level + 1) > mask_ + 1) {
      make_table(2 * (mask_ + 1));
    }
    deep_.push_back(obj);
    place(obj);
  }
  MERVIK_NOINLINE void leave_deep(PyObject* obj, size_t level) noexcept {
    *slot_of(obj) = nullptr;
    deep_.pop_back();
    if (level == kScanned) {  // back to the scanned levels: the table is emptied
      for (size_t i = kScanned; i-- > 0;) *slot_of(near_[i]) = nullptr;
    }
  }

  std::array<PyObject*, kScanned> near_{};
  size_t depth_ = 0;
  std::vector<PyObject*> deep_;  // the levels past the scanned ones, outermost first
  std::unique_ptr<PyObject*[]> table_;
  size_t mask_ = 0;
  unsigned shift_ = 64;
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

/// The sink of a print. Write steps are appended to memory as for a format call and handed to
/// the target in bulk; since no other code runs meanwhile, nobody can tell, provided that:
/// - finished lines are sent before any interpreter code runs (`pause`), and at most every
///   kRunBytes bytes;
/// - a step that would make the target send part of an unfinished line on its own (a line
///   longer than its buffer) is written to the target as a step of its own, after everything
///   before it, so those writes keep their exact size;
/// - after a failed write nothing more is written and no interpreter code runs.
/// The target is held for the whole run except while interpreter code runs.
///
/// The end of a container's line is stored together with the spaces that begin its next line,
/// as in a format call, but those spaces are held back: they count as written only once the
/// container's next item or closing bracket starts its line. Until then no send includes them
/// and none is counted by the sends' rules, so whatever ends the rendering or runs in between
/// (a failure, interpreter code) meets exactly the text the steps would have written.
class LineRun {
 public:
  static constexpr size_t kRunBytes = 64 * 1024;
  /// The longest indentation stored with a line end in one store of 32 bytes.
  static constexpr size_t kHeldSpaces = 30;

  explicit LineRun(LineRunTarget& target)
      : target_(target),
        capacity_(target.line_capacity()),
        keep_(kRunBytes + 2 * capacity_),
        held_at_most_(capacity_ > kHeldSpaces ? kHeldSpaces : 0) {
    text_.reserve(keep_);  // once: a run rarely outgrows this
  }
  LineRun(const LineRun&) = delete;
  LineRun& operator=(const LineRun&) = delete;
  ~LineRun() {
    if (open_) target_.close_run();
  }

  StringBuffer& text() noexcept { return text_; }
  bool open() const noexcept { return open_; }
  /// How many times interpreter code may have run during the run so far: it changes before
  /// any code runs, so what was learned while it stays the same still holds.
  uint64_t code_runs() const noexcept { return code_runs_; }
  /// Counts a run of interpreter code while the run is not open.
  void code_may_run() noexcept { ++code_runs_; }
  bool failed() const noexcept { return failure_.has_value(); }
  PyErr take_failure() {
    PyErr failure = std::move(*failure_);
    failure_.reset();
    return failure;
  }

  /// Takes the target and its unfinished line.
  void resume() {
    if (broken_) return;
    if (IoResult taken = target_.open_run(); !taken) return fail(taken.error());
    open_ = true;
    restart();
  }

  /// Sends everything to the target and lets it go, before interpreter code runs; a failed
  /// write stays with the run for the rendering to take.
  void release() {
    ++code_runs_;
    if (!open_) return;
    if (!broken_) {
      if (IoResult sent = target_.write_run(written()); !sent) fail(sent.error());
    }
    text_.clear(keep_);
    hold_back_again();
    target_.close_run();
    open_ = false;
  }

  /// `release`, handing over a failed write's error.
  Result<void> pause() {
    release();
    if (failed()) return std::unexpected(take_failure());
    return {};
  }

  /// After a fragment without line breaks was appended at `begin`.
  MERVIK_ALWAYS_INLINE void plain(size_t begin) {
    const size_t end = text_.size();
    if (end < limit_) [[likely]]
      return;  // a short line: no fragment of it can go alone
    if (end - line_start_ > capacity_ || end - begin >= capacity_) alone(begin);
  }

  /// A fragment known to hold no line break.
  MERVIK_ALWAYS_INLINE void plain_fragment(std::string_view fragment) {
    const size_t begin = text_.size();
    append(fragment);
    plain(begin);
  }

  /// Two fragments without line breaks, in one store when neither can go alone.
  MERVIK_ALWAYS_INLINE void plain_pair(std::string_view first, std::string_view second) {
    const size_t n = first.size() + second.size();
    if (text_.size() + n < limit_) [[likely]] {
      char* out = text_.reserve(n);
      std::memcpy(out, first.data(), first.size());
      std::memcpy(out + first.size(), second.data(), second.size());
      text_.commit(n);
      return;
    }
    plain_fragment(first);
    plain_fragment(second);
  }

  /// A fragment whose only line break is its last byte.
  MERVIK_ALWAYS_INLINE void line_end(std::string_view fragment) {
    const size_t begin = text_.size();
    append(fragment);
    const size_t end = text_.size();
    if (end > limit_ && begin > line_start_) [[unlikely]]
      return alone(begin);
    line_begins(end);
  }

  /// ",\n" that ends an item's line in a container and the `n` spaces that begin the
  /// container's next line, which are held back until that line starts (`spaces(closing,
  /// level)` or `close_line`).
  MERVIK_ALWAYS_INLINE void item_end(size_t n) {
    const size_t begin = text_.size();
    const size_t end = begin + 2;
    if (n > held_at_most_ || (end > limit_ && begin > line_start_)) [[unlikely]]
      return long_item_end(n);
    char* out = text_.reserve(kHeldSpaces + 2);
    std::memcpy(out, ",\n                              ", kHeldSpaces + 2);
    text_.commit(n + 2);
    line_begins(end);
    held_ = n;
  }

  /// `n` spaces as one fragment.
  MERVIK_ALWAYS_INLINE void spaces(size_t n) {
    const size_t begin = text_.size();
    text_.append_spaces(n);
    plain(begin);
  }

  void fragment(std::string_view fragment) {
    const size_t begin = text_.size();
    append(fragment);
    const size_t last = fragment.rfind('\n');
    if (last == std::string_view::npos) return plain(begin);
    const size_t lines_end = begin + last + 1;
    if ((begin > line_start_ && lines_end - line_start_ > capacity_) ||
        text_.size() - lines_end >= capacity_) [[unlikely]] {
      return alone(begin);
    }
    line_begins(lines_end);
  }

  /// Appends `n` spaces as two fragments (a line's indentation: the closing run and one level),
  /// or lets those held back with the line end before count as written.
  MERVIK_ALWAYS_INLINE void spaces(size_t closing, size_t level) {
    if (held_ != 0) {
      held_ = 0;  // held back by this container's line end before
      return;
    }
    const size_t n = closing + level;
    if (text_.size() + n < limit_) [[likely]] {
      text_.append_spaces(n);  // neither fragment can send part of the line
      return;
    }
    spaces(closing);
    spaces(level);
  }

  /// The closing line of a container: its indentation `closing` as one fragment, then `bracket`
  /// (without line breaks). Spaces held back beyond `closing` are dropped.
  MERVIK_ALWAYS_INLINE void close_line(size_t closing, std::string_view bracket) {
    if (held_ != 0) {
      text_.drop(held_ - closing);
      held_ = 0;  // shorter than a line's capacity: as a fragment, the closing run cannot go alone
    } else {
      spaces(closing);
    }
    plain_fragment(bracket);
  }

  /// A fragment without line breaks and one whose only line break is its last byte, in one
  /// store when neither can go alone.
  MERVIK_ALWAYS_INLINE void plain_then_line_end(std::string_view first, std::string_view second) {
    const size_t begin = text_.size();
    const size_t end = begin + first.size() + second.size();
    if (end < limit_) [[likely]] {
      char* out = text_.reserve(first.size() + second.size());
      std::memcpy(out, first.data(), first.size());
      std::memcpy(out + first.size(), second.data(), second.size());
      text_.commit(first.size() + second.size());
      line_begins(end);
      return;
    }
    plain_fragment(first);
    line_end(second);
  }

  /// Appends bytes without the buffer's ASCII bookkeeping, which only the format calls use.
  MERVIK_ALWAYS_INLINE void append(std::string_view bytes) {
    char* out = text_.reserve(bytes.size());
    if (!bytes.empty()) std::memcpy(out, bytes.data(), bytes.size());
    text_.commit(bytes.size());
  }

  /// At the start of an item: false when a failed write ends the rendering (its error is for
  /// the taking); else sends the finished lines once enough have gathered.
  MERVIK_ALWAYS_INLINE bool item_begins() {
    if (text_.size() < attend_at_) [[likely]]
      return true;
    return item_begins_attended();
  }

  /// After a native leaf's text was appended at `begin`: `tail` (no line breaks), with one
  /// check when neither can go alone.
  MERVIK_ALWAYS_INLINE void plain_then(size_t begin, std::string_view tail) {
    if (text_.size() + tail.size() < limit_) [[likely]] {
      append(tail);
      return;
    }
    plain(begin);
    plain_fragment(tail);
  }

 private:
  void fail(const platform::IoError& error) {
    failure_.emplace(error_from_io(error));
    broken_ = true;
    attend_at_ = 0;
  }

  MERVIK_NOINLINE bool item_begins_attended() {
    if (failed()) return false;
    if (text_.size() - held_ >= kRunBytes) send();
    return true;
  }

  // A write to the target can give up the interpreter (a pipe) or run signal handlers (after
  // an interrupted or short write), so other code may have run once it returns.
  void send() {
    if (broken_) return;
    ++code_runs_;
    if (IoResult sent = target_.write_run(written()); !sent) return fail(sent.error());
    restart();
  }

  // item_end after a line too long to be sent with the lines before it, or before a long
  // indentation: the spaces are stored apart, and held back unless a fragment of them could go
  // alone.
  MERVIK_NOINLINE void long_item_end(size_t n) {
    line_end(",\n");
    if (n >= capacity_) return;
    text_.append_spaces(n);
    held_ = n;
  }

  // The text written so far: all but the spaces held back.
  std::string_view written() const noexcept { return text_.view().substr(0, text_.size() - held_); }

  // After the text was emptied: the spaces held back are stored again when they still begin the
  // unfinished line. When the text starts with a line that other code left unfinished meanwhile
  // (another thread's print), they are given up, and the container's next line start writes them
  // as its own step, with that step's checks against the line's length.
  void hold_back_again() {
    if (held_ == 0) return;
    if (text_.size() != 0) {
      held_ = 0;
      return;
    }
    text_.append_spaces(held_);
  }

  // The text starts afresh from the target's unfinished line.
  void restart() {
    text_.clear(keep_);
    append(target_.take_unfinished());
    line_begins(0);
    hold_back_again();
  }

  void line_begins(size_t at) noexcept {
    line_start_ = at;
    limit_ = at + capacity_;
  }

  // The fragment at `begin` to the end is written as a step of its own.
  MERVIK_NOINLINE void alone(size_t begin) {
    if (broken_) return;
    ++code_runs_;  // a write to the target, as in send()
    const std::string_view all = text_.view();
    if (IoResult sent = target_.write_run(all.substr(0, begin)); !sent) return fail(sent.error());
    const std::string_view fragment = all.substr(begin);
    if (IoResult sent = target_.write_fragments(std::span(&fragment, 1)); !sent) {
      return fail(sent.error());
    }
    restart();
  }

  LineRunTarget& target_;
  const size_t capacity_;
  const size_t keep_;  // the storage made for a run, kept from run to run
  // The most spaces item_end holds back in its one store: none where a line's capacity is so
  // small that they could go alone as a fragment.
  const size_t held_at_most_;
  StringBuffer text_;
  size_t line_start_ = 0;  // where the unfinished line begins in text_
  // line_start_ + capacity_: while the text ends before it, neither the unfinished line nor any
  // fragment of it is long enough to reach the target on its own.
  size_t limit_ = 0;
  size_t held_ = 0;  // spaces at the end of text_ held back (item_end)
  // The text's size from which the start of an item has more to do than go on: a full run to
  // send, or (0) a failed write.
  size_t attend_at_ = kRunBytes;
  bool open_ = false;
  uint64_t code_runs_ = 0;
  bool broken_ = false;  // a write failed: nothing more is written
  std::optional<PyErr> failure_;  // its error, until the rendering takes it
};

/// Takes a paused run back when the scope ends, however it ends.
struct ResumeRun {
  LineRun& run;
  ~ResumeRun() { run.resume(); }
};

void release_last(PyObject* obj) noexcept {
  LineRun* run = active_run;
  if (run == nullptr) {
    Py_DECREF(obj);
    return;
  }
  if (!run->open()) {
    run->code_may_run();
    Py_DECREF(obj);
    return;
  }
  // A failed write stays with the run and ends the rendering at its next item.
  run->release();
  Py_DECREF(obj);
  run->resume();
}

/// One rendering into a sink of type Sink (StringBuffer, LineRun, or any TextSink).
template <class Sink>
class Renderer {
 public:
  Renderer(Sink& sink, uint64_t indent) noexcept : sink_(sink), indent_(indent) {}

  Result<void> render(PyObject* obj, uint64_t current);

 private:
  static constexpr bool kRun = std::is_same_v<Sink, LineRun>;
  static constexpr bool kBuffered = kRun || std::is_same_v<Sink, StringBuffer>;
  static constexpr bool kFormat = std::is_same_v<Sink, StringBuffer>;

  StringBuffer& buffer() noexcept {
    if constexpr (kRun) {
      return sink_.text();
    } else {
      return sink_;
    }
  }
  /// Appends the text of a native leaf (see native_leaf) to the buffer.
  MERVIK_ALWAYS_INLINE bool append_native(PyObject* obj) {
    if constexpr (kRun) {
      const size_t begin = sink_.text().size();
      if (!append_native_repr(obj, sink_.text())) return false;
      sink_.plain(begin);
      return true;
    } else {
      return append_native_repr(obj, sink_);
    }
  }
  /// append_native, then the ASCII `tail` (without line breaks) when it appended.
  MERVIK_ALWAYS_INLINE bool append_native_then(PyObject* obj, std::string_view tail) {
    if constexpr (kRun) {
      const size_t begin = sink_.text().size();
      if (!append_native_repr(obj, sink_.text())) return false;
      sink_.plain_then(begin, tail);
      return true;
    } else {
      if (!append_native_repr(obj, sink_)) return false;
      sink_.append_ascii(tail);
      return true;
    }
  }
  /// Runs `call`, which may run interpreter code, with a print's finished lines sent first.
  template <class F>
  auto with_code(F&& call) -> decltype(call()) {
    if constexpr (kRun) {
      MERVIK_TRY(sink_.pause());
      const ResumeRun resume{sink_};
      return call();
    } else {
      return call();
    }
  }
  /// The start of every item: a print's failed write ends the rendering, full runs are sent,
  /// and pending signals are handled now and then.
  MERVIK_ALWAYS_INLINE Result<void> next_item() {
    if constexpr (kRun) {
      if (!sink_.item_begins()) [[unlikely]]
        return std::unexpected(sink_.take_failure());
    }
    return poll_signals();
  }
  /// The dataclass test. It keeps what it found in `probed_` when the lookup runs no code and
  /// finds a stored object, for the instance's rendering, which follows at once. Only for a
  /// class known as a dataclass's: other objects are not slowed down.
  Result<bool> dataclass_probe(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    if (never_dataclass(type)) return false;
    const KnownClasses::Entry* entry;
    if constexpr (kRun) {
      entry = known_.find(type, sink_.code_runs());
      if ((entry == nullptr || !entry->fields_no_code) &&
          !lookup_runs_no_code(obj, names().dataclass_fields)) {
        return with_code([&]() -> Result<bool> { return has_dataclass_fields(obj, nullptr); });
      }
    } else {
      entry = known_.find(type, 0);
    }
    const bool stored =
        entry != nullptr && generic_lookup(type) && found_is_stored(entry->fields_found);
    return has_dataclass_fields(obj, stored ? &probed_ : nullptr);
  }
  /// The entry of the class of `obj` in a format call, learned unless it holds already.
  KnownClasses::Entry* format_class(PyObject* obj) {
    KnownClasses::Entry* entry = known_.find(Py_TYPE(obj), 0);
    return entry != nullptr ? entry : known_.learn(obj, 0);
  }
  /// The class of `obj` (borrowed) when looking up `__class__` on it is the generic lookup
  /// finding inherited_class_attribute(), whose value is the object's type; else null.
  PyObject* inherited_class(PyObject* obj, const KnownClasses::Entry* entry) {
    PyTypeObject* type = Py_TYPE(obj);
    if (!generic_lookup(type)) return nullptr;
    const bool inherited =
        entry != nullptr ? entry->class_inherited
                         : _PyType_Lookup(type, names().class_) == inherited_class_attribute();
    return inherited ? reinterpret_cast<PyObject*>(type) : nullptr;
  }
  Result<Held> attribute(PyObject* obj, PyObject* name) {
    if constexpr (kRun) {
      if (!lookup_runs_no_code(obj, name)) {
        return with_code([&] { return get_attr(obj, name); });
      }
    }
    return get_attr(obj, name);
  }
  /// The entry of a dataclass instance's class in a print, learned unless it holds already.
  KnownEntry known_class(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    KnownClasses::Entry* entry = known_.find(type, sink_.code_runs());
    if (entry == nullptr) [[unlikely]]
      entry = known_.learn(obj, sink_.code_runs());
    return {entry, sink_.code_runs(), known_.learns()};
  }
  /// The entry of `known`, found again for `obj` when it may have changed.
  MERVIK_ALWAYS_INLINE KnownClasses::Entry* still_known(PyObject* obj, KnownEntry& known) {
    if (known.code_runs != sink_.code_runs() || known.learns != known_.learns()) [[unlikely]]
      known = {known_.find(Py_TYPE(obj), sink_.code_runs()), sink_.code_runs(), known_.learns()};
    return known.entry;
  }
  /// attribute() of a name looked up on every dataclass instance, with a print's remembered
  /// verdict `verdict` of its class.
  Result<Held> instance_attribute(PyObject* obj, PyObject* name, KnownEntry& known,
                                  bool KnownClasses::Entry::* verdict) {
    if constexpr (kRun) {
      const KnownClasses::Entry* entry = still_known(obj, known);
      if (entry != nullptr && entry->*verdict) [[likely]]
        return get_attr(obj, name);
    }
    return attribute(obj, name);
  }
  /// attribute() of field `i` of a dataclass instance, named `name`; `plain_name` tells
  /// whether a print remembered the name as plain_text.
  MERVIK_ALWAYS_INLINE Result<Held> field_value(PyObject* obj, size_t i, PyObject* name,
                                                KnownEntry& known, bool& plain_name) {
    if constexpr (kRun) {
      KnownClasses::Entry* entry = still_known(obj, known);
      if (entry != nullptr) [[likely]] {
        uint8_t verdict;
        if (i < entry->count && entry->names[i] == name) [[likely]] {
          verdict = entry->verdicts[i];
        } else {
          if (!PyUnicode_CheckExact(name)) return attribute(obj, name);
          verdict = (lookup_runs_no_code(obj, name) ? KnownClasses::kNoCode : 0) |
                    (plain_text(name) ? KnownClasses::kPlain : 0);
          KnownClasses::remember(*entry, i, name, verdict);
        }
        plain_name = (verdict & KnownClasses::kPlain) != 0;
        if (verdict & KnownClasses::kNoCode) return get_attr(obj, name);
      }
    }
    return attribute(obj, name);
  }
  /// The ShownText of `text` in `out`; str() of a text that is not an exact str may run code.
  MERVIK_ALWAYS_INLINE Result<void> show(PyObject* text, std::optional<ShownText>& out) {
    if constexpr (kRun) {
      if (!PyUnicode_CheckExact(text)) {
        MERVIK_TRY(sink_.pause());
        const ResumeRun resume{sink_};
        out.emplace(text);
        return {};
      }
    }
    out.emplace(text);
    return {};
  }
  /// str() of `obj`, which is the object itself for an exact str.
  Result<Held> text_of(PyObject* obj) {
    if (PyUnicode_CheckExact(obj)) [[likely]]
      return Held(obj);
    if constexpr (kRun) return with_code([&] { return str_of(obj); });
    return str_of(obj);
  }
  /// The `__name__` of a class: for a class whose metaclass is `type`, the name that lookup
  /// returns, asked of the class directly.
  Result<Held> class_name_of(PyObject* cls) {
    if (Py_TYPE(cls) == &PyType_Type) [[likely]] {
      PyObject* name = PyType_GetName(reinterpret_cast<PyTypeObject*>(cls));
      if (name == nullptr) [[unlikely]]
        return std::unexpected(fetch_error());
      return Held::steal(name);
    }
    return attribute(cls, names().name);
  }

  Result<void> step(std::initializer_list<std::string_view> fragments);
  /// Appends a shown text and an ASCII `tail` to a format call's text, in one store.
  void append_shown(const ShownText& text, std::string_view tail) {
    const std::string_view view = text.view();
    char* out = sink_.reserve(view.size() + tail.size());
    if (!view.empty()) std::memcpy(out, view.data(), view.size());
    std::memcpy(out + view.size(), tail.data(), tail.size());
    sink_.commit(view.size() + tail.size());
    if (!text.ascii() && !ascii_only(view)) sink_.note_non_ascii();
  }
  /// A step of one ASCII fragment that holds no line break or ends with its only one.
  template <bool kEndsLine>
  MERVIK_ALWAYS_INLINE Result<void> shaped_step(std::string_view fragment) {
    if constexpr (kRun) {
      if constexpr (kEndsLine) {
        sink_.line_end(fragment);
      } else {
        sink_.plain_fragment(fragment);
      }
      return {};
    } else if constexpr (kBuffered) {
      sink_.append_ascii(fragment);
      return {};
    } else {
      return step({fragment});
    }
  }
  Result<void> plain_step(std::string_view fragment) { return shaped_step<false>(fragment); }
  Result<void> line_end_step(std::string_view fragment) { return shaped_step<true>(fragment); }
  /// The start of an item's line in a container: its indentation, unless a format call wrote it
  /// already with the end of the line before (`indented`).
  MERVIK_ALWAYS_INLINE Result<void> item_start(const SpaceRun& closing, const SpaceRun& level,
                                               bool indented) {
    if constexpr (kFormat) {
      if (indented) return {};
    }
    return line_start(closing, level);
  }
  /// The end of an item's line: a format call writes the next line's indentation with it, in
  /// one store, and sets `indented`.
  MERVIK_ALWAYS_INLINE Result<void> item_end(const SpaceRun& closing, const SpaceRun& level,
                                             bool& indented) {
    if constexpr (kFormat) {
      sink_.append_line_end_and_spaces(closing.view().size() + level.view().size());
      indented = true;
      return {};
    } else if constexpr (kRun) {
      sink_.item_end(closing.view().size() + level.view().size());
      return {};
    } else {
      return line_end_step(",\n");
    }
  }
  /// The end of a container after its items; the indentation of a line that begins no item
  /// is cut back to the closing run.
  MERVIK_ALWAYS_INLINE Result<void> close_items(const SpaceRun& closing, bool indented,
                                                std::string_view bracket) {
    if constexpr (kFormat) {
      if (indented) {
        sink_.drop(indent_);
        sink_.append_ascii(bracket);
        return {};
      }
    }
    return close(closing, bracket);
  }
  /// The step [closing run, bracket] that ends a container.
  MERVIK_ALWAYS_INLINE Result<void> close(const SpaceRun& closing, std::string_view bracket) {
    if constexpr (kRun) {
      sink_.close_line(closing.view().size(), bracket);
      return {};
    } else if constexpr (kBuffered) {
      sink_.append_spaces(closing.view().size());
      sink_.append_ascii(bracket);
      return {};
    } else {
      return step({closing.view(), bracket});
    }
  }
  /// The step [closing run, level run] that begins every line of a container.
  Result<void> line_start(const SpaceRun& closing, const SpaceRun& level);
  /// Makes room for `count` lines of at least `line_bytes` bytes each: a lower bound of what
  /// the container will write, so the text's storage grows fewer times.
  void expect_lines(Py_ssize_t count, uint64_t line_bytes);
  /// Writes the text of an exact int, float, str, bool or None leaf without calling repr() and
  /// returns true (`written` holds the step's outcome); false for every other object.
  bool native_leaf(PyObject* obj, Result<void>& written);
  Result<void> repr_leaf(PyObject* obj);
  /// Enters one level of the interpreter's recursion guard for a container, which then opens on
  /// the path with an OpenPath::Scope.
  Result<void> open_level(RecursionScope& scope) {
    Result<void> entered = scope.enter();
    if (!entered) [[unlikely]]
      drop_probed();
    return entered;
  }
  MERVIK_ALWAYS_INLINE Result<void> sequence(PyObject* seq, bool is_list, uint64_t current);
  Result<void> dict(PyObject* dict, uint64_t current);
  Result<void> dataclass(PyObject* obj, uint64_t current);
  /// Runs pending signal handlers once every kSignalCheckInterval items; a handler's exception
  /// ends the rendering.
  Result<void> poll_signals() {
    if (--until_signal_check_ != 0) [[likely]]
      return {};
    until_signal_check_ = kSignalCheckInterval;
    return with_code([]() -> Result<void> {
      if (PyErr_CheckSignals() < 0) return std::unexpected(fetch_error());
      return {};
    });
  }

  /// The run of one level of indentation, made where an item first needs it: a long run may
  /// fail to be made, and so fails where each item's own run did.
  MERVIK_ALWAYS_INLINE const SpaceRun& level_run() {
    if (!level_) [[unlikely]]
      level_.emplace(indent_);
    return *level_;
  }

  Sink& sink_;
  const uint64_t indent_;
  std::optional<SpaceRun> level_;
  uint32_t until_signal_check_ = kSignalCheckInterval;
  OpenPath open_;
  KnownClasses known_;
  Held probed_;  // what the dataclass test found, while looking it up again would find the same
  MERVIK_COLD MERVIK_NOINLINE void drop_probed() noexcept { probed_.clear(); }
  StringBuffer scratch_;  // native leaf text on its way to a sink other than a StringBuffer
};

template <>
inline Result<void> Renderer<StringBuffer>::step(
    std::initializer_list<std::string_view> fragments) {
  for (std::string_view fragment : fragments) sink_.append(fragment);
  return {};
}

template <>
inline Result<void> Renderer<LineRun>::step(std::initializer_list<std::string_view> fragments) {
  for (std::string_view fragment : fragments) sink_.fragment(fragment);
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
MERVIK_ALWAYS_INLINE Result<void> Renderer<LineRun>::line_start(const SpaceRun& closing,
                                                                const SpaceRun& level) {
  sink_.spaces(closing.view().size(), level.view().size());
  return {};
}

template <>
inline Result<void> Renderer<TextSink>::line_start(const SpaceRun& closing, const SpaceRun& level) {
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
inline void Renderer<LineRun>::expect_lines(Py_ssize_t, uint64_t) {}

template <>
inline bool Renderer<LineRun>::native_leaf(PyObject* obj, Result<void>&) {
  return append_native(obj);
}

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
  if constexpr (kRun) {
    // repr() may run interpreter code, and so may str() of a result that is not a str.
    std::optional<Held> owned;  // outlives the text, which may be a view of it
    std::optional<ShownText> text;
    {
      MERVIK_TRY(sink_.pause());
      const ResumeRun resume{sink_};
      PyObject* repr = PyObject_Repr(obj);
      if (repr == nullptr) return std::unexpected(fetch_error());
      owned.emplace(Held::steal(repr));
      text.emplace(repr);
    }
    return step({text->view()});
  } else {
    PyObject* repr = PyObject_Repr(obj);
    if (repr == nullptr) return std::unexpected(fetch_error());
    const Held owned = Held::steal(repr);
    const ShownText text(repr);
    return step({text.view()});
  }
}

template <class Sink>
Result<void> Renderer<Sink>::render(PyObject* obj, uint64_t current) {
  PyTypeObject* const type = Py_TYPE(obj);
  bool is_dataclass_instance = false;
  // Exact lists, dicts and tuples (most of what reaches here: containers' native leaves are
  // written before) are neither leaves nor dataclasses. Exact leaf types are neither
  // dataclasses nor containers: their text comes first.
  if (type != &PyList_Type && type != &PyDict_Type && type != &PyTuple_Type) [[unlikely]] {
    if (Result<void> written; native_leaf(obj, written)) return written;
    MERVIK_TRY_ASSIGN(is_dataclass_instance, dataclass_probe(obj));
  }
  const unsigned long flags = type->tp_flags;
  const bool container =
      is_dataclass_instance ||
      (flags & (Py_TPFLAGS_LIST_SUBCLASS | Py_TPFLAGS_DICT_SUBCLASS | Py_TPFLAGS_TUPLE_SUBCLASS));
  if (!container) return repr_leaf(obj);
  if (open_.contains(obj)) [[unlikely]] {
    drop_probed();
    return plain_step(self_reference_marker(is_dataclass_instance, flags));
  }
  // A list or tuple is rendered in this function's own frame, so that a nested value takes one
  // stack frame per level rather than two: processors predict returns from a small stack of
  // them, and deep values ran past it. Each container enters its own level of the recursion
  // guard and of the open path, which leaves the loop over a list's items the registers it had
  // in a function of its own.
  if (is_dataclass_instance) return dataclass(obj, current);
  if (flags & Py_TPFLAGS_DICT_SUBCLASS) return dict(obj, current);
  return sequence(obj, (flags & Py_TPFLAGS_LIST_SUBCLASS) != 0, current);
}

template <class Sink>
MERVIK_ALWAYS_INLINE Result<void> Renderer<Sink>::sequence(PyObject* seq, bool is_list,
                                                           uint64_t current) {
  RecursionScope scope;
  MERVIK_TRY(open_level(scope));
  const OpenPath::Scope open(open_, seq);
  const Py_ssize_t length = is_list ? PyList_GET_SIZE(seq) : PyTuple_GET_SIZE(seq);
  if (length == 0) return plain_step(is_list ? "[]" : "()");
  Held held(seq);
  SpaceRun closing(current);
  MERVIK_TRY(line_end_step(is_list ? "[\n" : "(\n"));
  const uint64_t child = child_indent(current, indent_);
  expect_lines(length, child_indent(child, 3));  // indentation, one character, ",\n"
  bool indented = false;
  for (Py_ssize_t i = 0;; ++i) {
    MERVIK_TRY(next_item());
    // A list may shrink while its items are rendered; items appended meanwhile are not shown.
    const Py_ssize_t bound = is_list ? std::min(length, PyList_GET_SIZE(seq)) : length;
    if (i >= bound) break;
    PyObject* const borrowed = is_list ? PyList_GET_ITEM(seq, i) : PyTuple_GET_ITEM(seq, i);
    const SpaceRun& level = level_run();
    if constexpr (kBuffered) {
      // A native leaf runs no interpreter code, so the item cannot go away while it is written
      // and needs no reference of its own.
      MERVIK_TRY(item_start(closing, level, indented));
      if (!append_native(borrowed)) {
        Held item(borrowed);
        MERVIK_TRY(render(item.get(), child));
      }
    } else {
      Held item(borrowed);
      MERVIK_TRY(step({closing.view(), level.view()}));
      MERVIK_TRY(render(item.get(), child));
    }
    MERVIK_TRY(item_end(closing, level, indented));
  }
  return close_items(closing, indented, is_list ? "]" : ")");
}

template <class Sink>
Result<void> Renderer<Sink>::dict(PyObject* dict, uint64_t current) {
  RecursionScope scope;
  MERVIK_TRY(open_level(scope));
  const OpenPath::Scope open(open_, dict);
  if (PyDict_GET_SIZE(dict) == 0) return plain_step("{}");
  SpaceRun closing(current);
  MERVIK_TRY(line_end_step("{\n"));
  const uint64_t child = child_indent(current, indent_);
  // Indentation, a character of key and of value, ": " and ",\n".
  expect_lines(PyDict_GET_SIZE(dict), child_indent(child, 6));
  DictCursor cursor(dict);
  PyObject *borrowed_key, *borrowed_value;
  bool indented = false;
  while (true) {
    MERVIK_TRY(next_item());
    if (!cursor.next_borrowed(borrowed_key, borrowed_value)) break;
    const SpaceRun& level = level_run();
    if constexpr (kBuffered) {
      // As for sequences: native leaves run no interpreter code, so the entry stays alive
      // without references of its own until something else is rendered.
      MERVIK_TRY(item_start(closing, level, indented));
      if (append_native_then(borrowed_key, ": ")) {
        if (!append_native(borrowed_value)) {
          Held value(borrowed_value);
          MERVIK_TRY(render(value.get(), child));
        }
        MERVIK_TRY(item_end(closing, level, indented));
        continue;
      }
    }
    // Declared in this order so that the key is released before the value.
    Held value(borrowed_value);
    Held key(borrowed_key);
    if constexpr (!kBuffered) {
      MERVIK_TRY(step({closing.view(), level.view()}));
    }
    MERVIK_TRY(render(key.get(), child));
    MERVIK_TRY(plain_step(": "));
    MERVIK_TRY(render(value.get(), child));
    MERVIK_TRY(item_end(closing, level, indented));
  }
  return close_items(closing, indented, "}");
}

template <class Sink>
Result<void> Renderer<Sink>::dataclass(PyObject* obj, uint64_t current) {
  RecursionScope scope;
  MERVIK_TRY(open_level(scope));
  const OpenPath::Scope open(open_, obj);
  Held probed = std::move(probed_);
  const InternedNames& n = names();
  KnownEntry known;
  if constexpr (kRun) known = known_class(obj);
  // While no code runs from the dataclass test on, looking `__dataclass_fields__` up again finds
  // what the test found (`probed`).
  Held cls;
  const KnownClasses::Entry* entry;
  if constexpr (kRun) {
    entry = still_known(obj, known);
  } else {
    entry = format_class(obj);
  }
  if (PyObject* inherited = inherited_class(obj, entry)) [[likely]] {
    cls = Held(inherited);
  } else {
    probed.clear();
    MERVIK_TRY_ASSIGN(
        cls, instance_attribute(obj, n.class_, known, &KnownClasses::Entry::class_no_code));
  }
  if (Py_TYPE(cls.get()) != &PyType_Type) probed.clear();
  MERVIK_TRY_ASSIGN(const Held name_obj, class_name_of(cls.get()));
  if (!PyUnicode_CheckExact(name_obj.get())) probed.clear();
  MERVIK_TRY_ASSIGN(const Held class_name, text_of(name_obj.get()));
  Held fields = std::move(probed);
  if (fields.get() == nullptr) {
    MERVIK_TRY_ASSIGN(fields, instance_attribute(obj, n.dataclass_fields, known,
                                                 &KnownClasses::Entry::fields_no_code));
  }
  if (!PyDict_Check(fields.get())) {
    return std::unexpected(cast_error(fields.get(), reinterpret_cast<PyObject*>(&PyDict_Type)));
  }
  std::optional<ShownText> class_text_holder;
  MERVIK_TRY(show(class_name.get(), class_text_holder));
  const ShownText& class_text = *class_text_holder;
  if (PyDict_GET_SIZE(fields.get()) == 0) return step({class_text.view(), "()"});
  SpaceRun closing(current);
  if constexpr (kRun) {
    if (KnownClasses::class_name_plain(still_known(obj, known), class_name.get())) {
      sink_.plain_then_line_end(class_text.view(), "(\n");
    } else {
      MERVIK_TRY(step({class_text.view(), "(\n"}));
    }
  } else if constexpr (kFormat) {
    append_shown(class_text, "(\n");
  } else {
    MERVIK_TRY(step({class_text.view(), "(\n"}));
  }
  const uint64_t child = child_indent(current, indent_);
  DictCursor cursor(fields.get());
  Held field, key;  // the key is released first, as in every entry
  bool indented = false;
  for (size_t i = 0;; ++i) {
    MERVIK_TRY(next_item());
    if (!cursor.next(key, field)) break;
    // str() of a key that is an exact str is the key, held already.
    PyObject* field_name = key.get();
    Held converted;
    if (!PyUnicode_CheckExact(field_name)) [[unlikely]] {
      MERVIK_TRY_ASSIGN(converted, text_of(field_name));
      field_name = converted.get();
    }
    bool plain_name = false;
    MERVIK_TRY_ASSIGN(const Held value, field_value(obj, i, field_name, known, plain_name));
    const SpaceRun& level = level_run();
    if constexpr (kRun) {
      if (plain_name) {  // a plain_text name: an exact ASCII str
        MERVIK_TRY(line_start(closing, level));
        sink_.plain_pair(ShownText::ascii_view(field_name), "=");
        if (!append_native(value.get())) MERVIK_TRY(render(value.get(), child));
        MERVIK_TRY(item_end(closing, level, indented));
        continue;
      }
    }
    std::optional<ShownText> name_text_holder;
    MERVIK_TRY(show(field_name, name_text_holder));
    const ShownText& name_text = *name_text_holder;
    if constexpr (kFormat) {
      MERVIK_TRY(item_start(closing, level, indented));
      append_shown(name_text, "=");
      if (!append_native(value.get())) MERVIK_TRY(render(value.get(), child));
      MERVIK_TRY(item_end(closing, level, indented));
      continue;
    }
    if constexpr (kBuffered) {
      MERVIK_TRY(line_start(closing, level));
      MERVIK_TRY(step({name_text.view()}));
      MERVIK_TRY(plain_step("="));
    } else {
      MERVIK_TRY(step({closing.view(), level.view(), name_text.view(), "="}));
    }
    MERVIK_TRY(render(value.get(), child));
    MERVIK_TRY(item_end(closing, level, indented));
  }
  return close_items(closing, indented, ")");
}

}  // namespace

Result<void> ObjectFormatter::render(PyObject* obj, uint64_t indent, uint64_t current,
                                     TextSink& sink) {
  if (typeid(sink) == typeid(StringBuffer)) {
    return Renderer<StringBuffer>(static_cast<StringBuffer&>(sink), indent).render(obj, current);
  }
  return Renderer<TextSink>(sink, indent).render(obj, current);
}

Result<PyRef> ObjectFormatter::format(PyObject* obj, uint64_t indent) {
  StringBuffer buffer(StringBuffer::Storage::kThreadReusable);
  MERVIK_TRY(Renderer<StringBuffer>(buffer, indent).render(obj, 0));
  return std::move(buffer).take_str();
}

Result<void> ObjectFormatter::print(PyObject* obj, uint64_t indent, LineRunTarget& target) {
  LineRun run(target);
  struct Active {
    LineRun* const outer;
    ~Active() { active_run = outer; }
  } const active{std::exchange(active_run, &run)};
  Result<void> rendered;
  try {
    run.resume();
    rendered = Renderer<LineRun>(run, indent).render(obj, 0);
    if (rendered) run.fragment("\n");
  } catch (...) {
    (void)run.pause();  // the lines before an internal failure stay written
    throw;
  }
  // A failed write comes first: written step by step, the print would have ended there.
  MERVIK_TRY(run.pause());
  return rendered;
}

}  // namespace mervik
