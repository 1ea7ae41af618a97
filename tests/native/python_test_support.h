// Helpers for native tests that use the embedded interpreter.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "binding/attachment.h"
#include "binding/py_ref.h"

namespace mervik::testing {

/// Marks the test body as a guarded section (the main thread holds the interpreter).
struct Attached {
  Attached() { enter_attached(); }
  ~Attached() { leave_attached(); }
};

/// Evaluates a Python expression in a namespace prepared by `setup` statements.
inline PyRef eval(const std::string& expression, const std::string& setup = "") {
  PyRef globals = PyRef::steal(PyDict_New());
  PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins());
  if (!setup.empty()) {
    PyRef done = PyRef::steal(
        PyRun_String(setup.c_str(), Py_file_input, globals.get(), globals.get()));
    if (!done) PyErr_Print();
    EXPECT_TRUE(done) << setup;
  }
  PyRef value = PyRef::steal(
      PyRun_String(expression.c_str(), Py_eval_input, globals.get(), globals.get()));
  if (!value) PyErr_Print();
  EXPECT_TRUE(value) << expression;
  return value;
}

}  // namespace mervik::testing
