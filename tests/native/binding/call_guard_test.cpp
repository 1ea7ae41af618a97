#include "binding/call_guard.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <ostream>
#include <string>
#include <thread>

#include "binding/convert.h"
#include "python_test_support.h"

namespace mervik {
namespace {

using ::testing::HasSubstr;
using mervik::testing::Attached;
using mervik::testing::eval;
using mervik::testing::raised;
using mervik::testing::run_on_other_thread;

// The main thread holds the interpreter but starts each test at AttachDepth 0, as a thread does
// when the interpreter calls into the module. References are only dropped while attached.
class CallGuard : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(attach_depth(), 0); }
  void TearDown() override {
    EXPECT_EQ(attach_depth(), 0);
    if (PyErr_Occurred() != nullptr) {
      PyErr_Print();
      ADD_FAILURE() << "the test left an exception pending";
    }
  }
};

TEST_F(CallGuard, returns_the_result_and_nests) {
  intptr_t outer_depth = -1, inner_depth = -1, after_inner = -1;
  PyObject* out = run_guarded([&]() -> Result<PyRef> {
    outer_depth = attach_depth();
    PyObject* inner = run_guarded([&]() -> Result<PyRef> {
      inner_depth = attach_depth();
      return new_int_object(7);
    });
    after_inner = attach_depth();
    return PyRef::steal(inner);
  });
  EXPECT_EQ(outer_depth, 1);
  EXPECT_EQ(inner_depth, 2);
  EXPECT_EQ(after_inner, 1);
  EXPECT_EQ(attach_depth(), 0);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(PyLong_AsLong(out), 7);
  Py_DECREF(out);

  EXPECT_EQ(run_guarded([]() -> Result<void> { return {}; }), 0);
  EXPECT_EQ(PyErr_Occurred(), nullptr);
}

struct FailureCase {
  const char* name;
  Result<PyRef> (*body)();
  PyObject* (*type)();
  const char* message;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

PyObject* panic_type() { return panic_exception_type(); }
PyObject* value_error_type() { return PyExc_ValueError; }
PyObject* memory_error_type() { return PyExc_MemoryError; }

const FailureCase kFailures[] = {
    {"returned_error",
     []() -> Result<PyRef> { return std::unexpected(make_error(PyExc_ValueError, "bad value")); },
     value_error_type, "bad value"},
    {"returned_fetched_error",
     []() -> Result<PyRef> {
       PyErr_SetString(PyExc_ValueError, "from the interpreter");
       return std::unexpected(fetch_error());
     },
     value_error_type, "from the interpreter"},
    {"internal_failure", []() -> Result<PyRef> { throw InternalFailure("broken invariant"); },
     panic_type, "broken invariant"},
    {"internal_failure_without_message", []() -> Result<PyRef> { throw InternalFailure(); },
     panic_type, "panic from native code"},
    {"bad_alloc", []() -> Result<PyRef> { throw std::bad_alloc(); }, memory_error_type, ""},
    {"foreign_exception", []() -> Result<PyRef> { throw std::runtime_error("foreign"); },
     panic_type, "panic from native code"},
};

class GuardFailure : public CallGuard, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(GuardFailure, sets_the_exception_and_restores_the_depth) {
  const FailureCase& c = GetParam();
  EXPECT_EQ(run_guarded(c.body), nullptr);
  EXPECT_EQ(attach_depth(), 0);
  {
    Attached attached;
    EXPECT_TRUE(raised(c.type(), c.message));
  }

  EXPECT_EQ(run_guarded([&]() -> Result<void> {
              MERVIK_TRY(c.body());
              return {};
            }),
            -1);
  EXPECT_EQ(attach_depth(), 0);
  {
    Attached attached;
    EXPECT_TRUE(raised(c.type(), c.message));
  }
}

// An inner entry's failure reaches the outer caller as the same exception; a PanicException
// does so by being resumed (with its report on standard error) and raised anew.
TEST_P(GuardFailure, passes_through_an_outer_guard_unchanged) {
  const FailureCase& c = GetParam();
  intptr_t depth_after_inner = -1;
  ::testing::internal::CaptureStderr();
  PyObject* out = run_guarded([&]() -> Result<PyRef> {
    PyObject* inner = run_guarded(c.body);
    depth_after_inner = attach_depth();
    if (inner == nullptr) return std::unexpected(fetch_error());
    return PyRef::steal(inner);
  });
  Attached attached;
  PyObject* pending = PyErr_GetRaisedException();
  PyRef flushed = eval("sys.stderr.flush()", "import sys");
  const std::string stderr_text = ::testing::internal::GetCapturedStderr();
  PyErr_SetRaisedException(pending);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(depth_after_inner, 1);
  EXPECT_TRUE(raised(c.type(), c.message));
  if (c.type() == panic_exception_type()) {
    EXPECT_THAT(stderr_text, HasSubstr("--- mervik is resuming a panic after fetching a "
                                       "PanicException from Python. ---\n"));
  }
}

INSTANTIATE_TEST_SUITE_P(Outcomes, GuardFailure, ::testing::ValuesIn(kFailures),
                         [](const ::testing::TestParamInfo<FailureCase>& param_info) {
                           return param_info.param.name;
                         });

TEST_F(CallGuard, unraisable_form_reports_an_internal_failure_to_the_hook) {
  PyRef calls;
  {
    Attached attached;
    calls = eval("calls", "import sys\ncalls = []\nsys.unraisablehook = calls.append");
  }
  intptr_t inside = -1;
  run_guarded_unraisable([&] {
    inside = attach_depth();
    throw InternalFailure("failed in dealloc");
  });
  EXPECT_EQ(inside, 1);
  EXPECT_EQ(attach_depth(), 0);
  EXPECT_EQ(PyErr_Occurred(), nullptr);
  Attached attached;
  PyRef restored = eval("None", "import sys\nsys.unraisablehook = sys.__unraisablehook__");
  ASSERT_EQ(PyList_GET_SIZE(calls.get()), 1);
  PyObject* report = PyList_GET_ITEM(calls.get(), 0);
  PyRef value = PyRef::steal(PyObject_GetAttrString(report, "exc_value"));
  PyRef object = PyRef::steal(PyObject_GetAttrString(report, "object"));
  EXPECT_EQ(reinterpret_cast<PyObject*>(Py_TYPE(value.get())), panic_exception_type());
  EXPECT_EQ(mervik::testing::text_of(value.get()), "failed in dealloc");
  EXPECT_EQ(object.get(), Py_None);
  calls = PyRef();
}

// --- Attachment -------------------------------------------------------------------------------

bool is_alive(PyObject* weak) {
  PyObject* target = nullptr;
  const int alive = PyWeakref_GetRef(weak, &target);
  Py_XDECREF(target);
  return alive == 1;
}

TEST_F(CallGuard, release_on_an_unattached_thread_waits_for_the_next_guarded_entry) {
  Attached attached;
  PyRef obj = eval("Thing()", "class Thing:\n    pass\n");
  PyRef weak = PyRef::steal(PyWeakref_NewRef(obj.get(), nullptr));
  ASSERT_TRUE(weak);
  PyObject* raw = obj.get();

  intptr_t releasing_depth = -1;
  run_on_other_thread([&] {
    releasing_depth = attach_depth();
    PyRef last = std::move(obj);
  });
  EXPECT_EQ(releasing_depth, 0);
  EXPECT_TRUE(is_alive(weak.get()));
  EXPECT_EQ(Py_REFCNT(raw), 1);

  // The next guarded entry, on yet another thread, releases it.
  bool alive_before = false, alive_after = true;
  run_on_other_thread([&] {
    PyGILState_STATE state = PyGILState_Ensure();
    alive_before = is_alive(weak.get());
    PyObject* none = run_guarded([]() -> Result<PyRef> { return PyRef::borrow(Py_None); });
    Py_DECREF(none);
    alive_after = is_alive(weak.get());
    PyGILState_Release(state);
  });
  EXPECT_TRUE(alive_before);
  EXPECT_FALSE(alive_after);
}

TEST_F(CallGuard, attach_from_an_unattached_thread_ensures_and_gives_back_the_interpreter) {
  struct Seen {
    intptr_t depth_before = -1, depth_attached = -1, depth_nested = -1, depth_after = -1;
    int gil_before = -1, gil_attached = -1, gil_after = -1;
    bool ensured = false, nested_ensured = true;
    long computed = 0;
  } seen;
  run_on_other_thread([&] {
    seen.depth_before = attach_depth();
    seen.gil_before = PyGILState_Check();
    AttachGuard guard = attach();
    seen.ensured = guard.ensured;
    seen.depth_attached = attach_depth();
    seen.gil_attached = PyGILState_Check();
    AttachGuard nested = attach();
    seen.nested_ensured = nested.ensured;
    seen.depth_nested = attach_depth();
    detach(nested);
    {
      PyRef sum = PyRef::steal(PyNumber_Add(new_int_object(40).get(), new_int_object(2).get()));
      seen.computed = PyLong_AsLong(sum.get());
    }
    detach(guard);
    seen.depth_after = attach_depth();
    seen.gil_after = PyGILState_Check();
  });
  EXPECT_EQ(seen.depth_before, 0);
  EXPECT_EQ(seen.gil_before, 0);
  EXPECT_TRUE(seen.ensured);
  EXPECT_EQ(seen.depth_attached, 1);
  EXPECT_EQ(seen.gil_attached, 1);
  EXPECT_FALSE(seen.nested_ensured);
  EXPECT_EQ(seen.depth_nested, 2);
  EXPECT_EQ(seen.computed, 42);
  EXPECT_EQ(seen.depth_after, 0);
  EXPECT_EQ(seen.gil_after, 0);
}

TEST_F(CallGuard, suspended_attachment_lets_another_thread_run_python) {
  Attached attached;
  SuspendedAttachment saved = suspend_attachment();
  const intptr_t depth_suspended = attach_depth();
  long computed = 0;
  std::thread other([&] {
    PyGILState_STATE state = PyGILState_Ensure();
    PyObject* n = PyLong_FromLong(41);
    computed = PyLong_AsLong(n) + 1;
    Py_DECREF(n);
    PyGILState_Release(state);
  });
  other.join();
  resume_attachment(saved);
  EXPECT_EQ(depth_suspended, 0);
  EXPECT_EQ(attach_depth(), 1);
  EXPECT_EQ(computed, 42);
  EXPECT_EQ(PyGILState_Check(), 1);
}

}  // namespace
}  // namespace mervik
