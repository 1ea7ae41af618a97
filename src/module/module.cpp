// The module object: its functions, their descriptors, the module definition and
// PyInit_mervik.
#include <atomic>

#include "binding/call_guard.h"
#include "binding/convert.h"
#include "binding/once.h"
#include "format/entry_points.h"
#include "module/pretty.h"
#include "output/print_calls.h"

namespace mervik {
namespace {

constexpr const char* kModuleDoc = "A module for pretty-printing Python objects.";
constexpr const char* kSubinterpreterMessage =
    "mervik does not yet support subinterpreters, see "
    "https://docs.python.org/3/c-api/init.html#sub-interpreter-support";

// Entry points: each runs its body inside the call guard.
template <Result<PyRef> (*Body)(PyObject* const*, Py_ssize_t, PyObject*)>
PyObject* guarded_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_guarded([&] { return Body(args, nargs, kwnames); });
}

constexpr int kFastCallWithKeywords = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef format_escaped_bytes_def = {
    "format_escaped_bytes", _PyCFunction_CAST(guarded_entry<format_escaped_bytes_call>),
    kFastCallWithKeywords,
    "format_escaped_bytes(obj)\n--\n\nFormats a bytes object into a string of escaped hex bytes. "
    "For example, b\"ABC\" becomes \"\\\\x41\\\\x42\\\\x43\".\n\nArgs:\n    obj: The bytes object to "
    "format.\n\nReturns:\n    A string containing the escaped representation of the bytes object."};

PyMethodDef pretty_format_def = {
    "pretty_format", _PyCFunction_CAST(guarded_entry<pretty_format_call>), kFastCallWithKeywords,
    "pretty_format(obj, indent=4)\n--\n\nPretty-format the given object and return it as a "
    "string.\n\nArgs:\n    obj: The object to pretty-format.\n    indent: The number of spaces to "
    "use for indentation. Default is 4.\n\nReturns:\n    A string containing the pretty-formatted "
    "representation of the object."};

PyMethodDef pretty_print_def = {
    "pretty_print", _PyCFunction_CAST(guarded_entry<pretty_print_call>), kFastCallWithKeywords,
    "pretty_print(obj, indent=4)\n--\n\nPretty-print the given object to standard output.\n\n"
    "Args:\n    obj: The object to pretty-print.\n    indent: The number of spaces to use for "
    "indentation. Default is 4."};

PyMethodDef print_escaped_bytes_def = {
    "print_escaped_bytes", _PyCFunction_CAST(guarded_entry<print_escaped_bytes_call>),
    kFastCallWithKeywords, "print_escaped_bytes(obj)\n--\n\n"};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "mervik",
    kModuleDoc,
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<int64_t> bound_interpreter{-1};
PyObject* cached_module = nullptr;
DetachedOnce module_once;

struct ModuleNames {
  PyObject* all;
  PyObject* name;
};

const ModuleNames& module_names() {
  static const ModuleNames interned = [] {
    auto intern = [](const char* text) {
      PyObject* s = PyUnicode_InternFromString(text);
      if (s == nullptr) api_call_failed();
      return s;
    };
    return ModuleNames{intern("__all__"), intern("__name__")};
  }();
  return interned;
}

Result<void> add_named_value(PyObject* module, PyObject* name, PyObject* value) {
  const ModuleNames& names = module_names();
  PyRef all;
  if (PyObject* existing = PyObject_GetAttr(module, names.all)) {
    all = PyRef::steal(existing);
  } else {
    PyErr err = fetch_error();
    if (!error_matches(err, PyExc_AttributeError)) return std::unexpected(std::move(err));
    PyObject* list = PyList_New(0);
    if (list == nullptr) return std::unexpected(fetch_error());
    all = PyRef::steal(list);
    if (PyObject_SetAttr(module, names.all, all.get()) < 0) {
      return std::unexpected(fetch_error());
    }
  }
  if (!PyList_Check(all.get())) {
    return std::unexpected(cast_error(all.get(), reinterpret_cast<PyObject*>(&PyList_Type)));
  }
  if (PyList_Append(all.get(), name) < 0) {
    PyErr err = fetch_error();
    fail("could not append __name__ to __all__: " + debug_description(err));
  }
  if (PyObject_SetAttr(module, name, value) < 0) return std::unexpected(fetch_error());
  return {};
}

Result<void> add_function(PyObject* module, PyMethodDef* def) {
  PyObject* module_name = PyModule_GetNameObject(module);
  if (module_name == nullptr) return std::unexpected(fetch_error());
  PyRef owned_name = PyRef::steal(module_name);
  PyObject* function = PyCMethod_New(def, module, module_name, nullptr);
  if (function == nullptr) return std::unexpected(fetch_error());
  PyRef owned_function = PyRef::steal(function);
  owned_name = PyRef();
  PyObject* name = PyObject_GetAttr(function, module_names().name);
  if (name == nullptr) return std::unexpected(fetch_error());
  PyRef owned = PyRef::steal(name);
  if (!PyUnicode_Check(name)) {
    return std::unexpected(cast_error(name, reinterpret_cast<PyObject*>(&PyUnicode_Type)));
  }
  return add_named_value(module, name, function);
}

Result<void> register_module(PyObject* module) {
  MERVIK_TRY_ASSIGN(PyObject* type, pretty_type());
  PyRef name = new_str_object("Pretty");
  MERVIK_TRY(add_named_value(module, name.get(), type));
  MERVIK_TRY(add_function(module, &format_escaped_bytes_def));
  MERVIK_TRY(add_function(module, &pretty_format_def));
  MERVIK_TRY(add_function(module, &pretty_print_def));
  MERVIK_TRY(add_function(module, &print_escaped_bytes_def));
  return {};
}

Result<void> create_module() {
  PyObject* module = PyModule_Create2(&module_def, 1013);
  if (module == nullptr) return std::unexpected(fetch_error());
  PyRef owned = PyRef::steal(module);
  MERVIK_TRY(register_module(module));
  cached_module = owned.release();
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
