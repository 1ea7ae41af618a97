// The interpreter structures the module reads or fills in directly, through the headers' macros
// and inline functions (item arrays, str state and data, dictionary size, integer digits) or as
// static descriptions handed to the interpreter, pinned to the layout of the 64-bit GIL release
// builds of CPython 3.13 to 3.15. Windows (LLP64) and 64-bit Linux and macOS (LP64) share it.
// A build whose configuration disagrees with the interpreter it targets (a wrong pyconfig.h in
// the Windows cross build, Py_DEBUG, Py_GIL_DISABLED, another digit size) stops here instead of
// producing a module that reads the wrong fields.
#include <array>
#include <bit>
#include <cstddef>

#include "binding/python.h"

namespace mervik {
namespace {

static_assert(sizeof(void*) == 8 && sizeof(Py_ssize_t) == 8 && sizeof(size_t) == 8,
              "a 64-bit interpreter");
static_assert(PY_VERSION_HEX >= 0x030d0000 && PY_VERSION_HEX < 0x03100000,
              "the layouts below are those of CPython 3.13 to 3.15");

// Object headers: reference count and type, then the item count.
static_assert(sizeof(PyObject) == 16 && offsetof(PyObject, ob_type) == 8);
static_assert(sizeof(PyVarObject) == 24 && offsetof(PyVarObject, ob_size) == 16);

// Items of lists and tuples (3.14 added a cached hash to the tuple).
static_assert(offsetof(PyListObject, ob_item) == 24);
#if PY_VERSION_HEX >= 0x030e0000
static_assert(offsetof(PyTupleObject, ob_item) == 32);
#else
static_assert(offsetof(PyTupleObject, ob_item) == 24);
#endif

// Dictionary size, float value, bytes data.
static_assert(offsetof(PyDictObject, ma_used) == 16);
static_assert(offsetof(PyFloatObject, ob_fval) == 16);
static_assert(offsetof(PyBytesObject, ob_sval) == 32);

// Integers: the tag (sign and digit count) and 30-bit digits in 32-bit words.
static_assert(offsetof(PyLongObject, long_value) == 16 && sizeof(digit) == 4 && PyLong_SHIFT == 30);

// str: length, state bits, and where the characters of a compact str start.
static_assert(offsetof(PyASCIIObject, length) == 16 && offsetof(PyASCIIObject, state) == 32);
static_assert(sizeof(PyASCIIObject) == 40 && sizeof(PyCompactUnicodeObject) == 56);
using StrState = decltype(PyASCIIObject::state);
static_assert(sizeof(StrState) == 4);
#if defined(__GNUC__) && !defined(__clang__)
// Bit positions of the state word: interned (2 bits), kind (3), compact, ascii. Only GCC reads
// bit-fields in constant expressions; it is also the compiler of the Windows cross build, where
// the bit-field layout must match the interpreter's (MSVC's).
constexpr unsigned low_state_byte(StrState state) {
  return std::bit_cast<std::array<unsigned char, sizeof(StrState)>>(state)[0];
}
constexpr StrState state_of(unsigned interned, unsigned kind, unsigned compact, unsigned ascii) {
  StrState state{};
  state.interned = interned & 3;
  state.kind = kind & 7;
  state.compact = compact & 1;
  state.ascii = ascii & 1;
  return state;
}
static_assert(low_state_byte(state_of(3, 0, 0, 0)) == 0x03);
static_assert(low_state_byte(state_of(0, PyUnicode_4BYTE_KIND, 0, 0)) == 0x10);
static_assert(low_state_byte(state_of(0, 0, 1, 1)) == 0x60);
#endif

// Type objects: the flags read by the type checks, the attribute lookup and version tag read by
// the print's lookup checks, and the allocation slots.
static_assert(offsetof(PyTypeObject, tp_flags) == 168);
static_assert(offsetof(PyTypeObject, tp_getattro) == 144 &&
              offsetof(PyTypeObject, tp_version_tag) == 384 &&
              sizeof(PyTypeObject::tp_version_tag) == 4);
static_assert(offsetof(PyTypeObject, tp_alloc) == 304 && offsetof(PyTypeObject, tp_free) == 320);

// The static descriptions the module hands to the interpreter.
static_assert(sizeof(PyModuleDef_Base) == 40 && sizeof(PyModuleDef) == 104);
static_assert(sizeof(PyMethodDef) == 32);
static_assert(sizeof(PyType_Spec) == 32 && sizeof(PyType_Slot) == 16);

}  // namespace
}  // namespace mervik
