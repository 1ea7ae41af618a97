// Helpers for native tests that use the embedded interpreter.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <thread>
#include <utility>

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
    PyRef done =
        PyRef::steal(PyRun_String(setup.c_str(), Py_file_input, globals.get(), globals.get()));
    if (!done) PyErr_Print();
    EXPECT_TRUE(done) << setup;
  }
  PyRef value =
      PyRef::steal(PyRun_String(expression.c_str(), Py_eval_input, globals.get(), globals.get()));
  if (!value) PyErr_Print();
  EXPECT_TRUE(value) << expression;
  return value;
}

/// str() of an object as UTF-8 text; "<str() failed>" (with the error cleared) when it raises.
inline std::string text_of(PyObject* obj) {
  PyRef text = PyRef::steal(PyObject_Str(obj));
  const char* data = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  if (data == nullptr) {
    PyErr_Clear();
    return "<str() failed>";
  }
  return data;
}

/// Takes the pending exception out of the interpreter (empty when none is pending).
inline PyRef take_raised() { return PyRef::steal(PyErr_GetRaisedException()); }

/// Checks that an exception of exactly `type` whose str() is `message` is pending, and clears it.
inline ::testing::AssertionResult raised(PyObject* type, std::string_view message) {
  PyRef value = take_raised();
  if (!value) return ::testing::AssertionFailure() << "no exception is pending";
  const std::string text = text_of(value.get());
  if (reinterpret_cast<PyObject*>(Py_TYPE(value.get())) != type || text != message) {
    return ::testing::AssertionFailure()
           << "pending: " << Py_TYPE(value.get())->tp_name << "(\"" << text << "\"), wanted "
           << reinterpret_cast<PyTypeObject*>(type)->tp_name << "(\"" << message << "\")";
  }
  return ::testing::AssertionSuccess();
}

/// Fixture for tests that use the interpreter: the body runs as a guarded section, and a test
/// that leaves an exception pending fails.
class PythonTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (PyErr_Occurred() != nullptr) {
      PyErr_Print();
      ADD_FAILURE() << "the test left an exception pending";
    }
  }

 private:
  Attached attached_;
};

/// Runs `body` on a new thread that starts out not attached, while the calling thread (which
/// holds the interpreter) lets go of it until the new thread has finished.
template <class F>
void run_on_other_thread(F&& body) {
  std::thread worker(std::forward<F>(body));
  Py_BEGIN_ALLOW_THREADS worker.join();
  Py_END_ALLOW_THREADS
}

}  // namespace mervik::testing
