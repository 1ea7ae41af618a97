// The module object: its functions, the module definition and PyInit_mervik.
#include <atomic>

#include "binding/convert.h"
#include "binding/once.h"
#include "format/object_formatter.h"
#include "module/pretty.h"
#include "module/surface.h"
#include "output/escaped_bytes.h"
#include "output/stdout_print.h"

namespace mervik {

Result<uint64_t> indent_argument(PyObject* slot) {
  if (slot == nullptr) return kDefaultIndent;
  auto value = extract_u64(slot);
  if (!value) return std::unexpected(wrap_argument_error(kIndent.name, std::move(value).error()));
  return *value;
}

namespace {

constexpr const char* kSubinterpreterMessage =
    "mervik does not yet support subinterpreters, see "
    "https://docs.python.org/3/c-api/init.html#sub-interpreter-support";

/// The argument of an escaped-bytes function, which must be bytes or a subclass.
Result<std::string_view> bytes_argument(PyObject* obj) {
  if (!PyBytes_Check(obj)) {
    return std::unexpected(wrap_argument_error(
        kObj.name, cast_error(obj, reinterpret_cast<PyObject*>(&PyBytes_Type))));
  }
  return std::string_view(PyBytes_AS_STRING(obj), static_cast<size_t>(PyBytes_GET_SIZE(obj)));
}

Result<PyRef> format_escaped_bytes_body(PyObject*, Slots slots) {
  MERVIK_TRY_ASSIGN(const std::string_view bytes, bytes_argument(slots[0]));
  return escaped_bytes_str(bytes);
}

Result<PyRef> pretty_format_body(PyObject*, Slots slots) {
  MERVIK_TRY_ASSIGN(const uint64_t indent, indent_argument(slots[1]));
  return ObjectFormatter::format(slots[0], indent);
}

Result<PyRef> pretty_print_body(PyObject*, Slots slots) {
  MERVIK_TRY_ASSIGN(const uint64_t indent, indent_argument(slots[1]));
  MERVIK_TRY(print_object(slots[0], indent));
  return PyRef::borrow(Py_None);
}

Result<PyRef> print_escaped_bytes_body(PyObject*, Slots slots) {
  MERVIK_TRY_ASSIGN(const std::string_view bytes, bytes_argument(slots[0]));
  MERVIK_TRY(print_escaped_bytes(bytes));
  return PyRef::borrow(Py_None);
}

// The module's functions; __all__ lists the class, then these in this order.
PyMethodDef module_functions[] = {
    method_def<kFormatEscapedBytes, format_escaped_bytes_body>(),
    method_def<kPrettyFormat, pretty_format_body>(),
    method_def<kPrettyPrint, pretty_print_body>(),
    method_def<kPrintEscapedBytes, print_escaped_bytes_body>(),
    {nullptr, nullptr, 0, nullptr},
};

// The functions are added after __all__ and the class, which keeps the module's namespace in
// that order.
PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = kModuleName,
    .m_doc = kModuleDoc,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

std::atomic<int64_t> bound_interpreter{-1};
PyObject* cached_module = nullptr;
DetachedOnce module_once;

/// The list of every exported name: the class, then the functions.
PyRef all_names() {
  PyRef all = PyRef::steal(PyList_New(0));
  if (!all) api_call_failed();
  auto append = [&](std::string_view name) {
    if (PyList_Append(all.get(), new_str_object(name).get()) < 0) api_call_failed();
  };
  append(kPrettyClassName);
  for (const PyMethodDef* def = module_functions; def->ml_name != nullptr; ++def) {
    append(def->ml_name);
  }
  return all;
}

Result<void> create_module() {
  PyRef module = PyRef::steal(PyModule_Create(&module_def));
  if (!module) return std::unexpected(fetch_error());
  MERVIK_TRY_ASSIGN(PyObject* type, pretty_type());
  // Made now, not at the first failure: that failure may be a RecursionError at the end of the
  // stack, where making the type would fail again inside its own creation.
  panic_exception_type();
  if (PyModule_Add(module.get(), "__all__", all_names().release()) < 0 ||
      PyModule_AddObjectRef(module.get(), kPrettyClassName, type) < 0 ||
      PyModule_AddFunctions(module.get(), module_functions) < 0) {
    return std::unexpected(fetch_error());
  }
  cached_module = module.release();
  return {};
}

Result<PyRef> init_module() {
  PyInterpreterState* interp = PyInterpreterState_Get();
  const int64_t id = PyInterpreterState_GetID(interp);
  if (id == -1) return std::unexpected(fetch_error());
  int64_t expected = -1;
  if (!bound_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    return std::unexpected(make_error(PyExc_ImportError, kSubinterpreterMessage));
  }
  if (!module_once.done()) MERVIK_TRY(module_once.run(create_module));
  return PyRef::borrow(cached_module);
}

}  // namespace
}  // namespace mervik

PyMODINIT_FUNC PyInit_mervik() {
  return mervik::run_guarded([] { return mervik::init_module(); });
}
