#include "binding/py_err.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "python_test_support.h"

namespace mervik {
namespace {

using mervik::testing::eval;
using mervik::testing::raised;
using mervik::testing::take_raised;
using mervik::testing::text_of;
using platform::IoError;
using platform::IoErrorKind;

using IoErrorMapping = mervik::testing::PythonTest;
using ErrorModel = mervik::testing::PythonTest;
using PanicException = mervik::testing::PythonTest;

// --- I/O errors -------------------------------------------------------------------------------

// A few kinds, one per family of exceptions; the invariants below hold for every kind.
TEST_F(IoErrorMapping, a_kind_raises_its_exception_with_its_description) {
  const struct {
    IoErrorKind kind;
    PyObject* exception;
    const char* description;
  } cases[] = {
      {IoErrorKind::kNotFound, PyExc_FileNotFoundError, "entity not found"},
      {IoErrorKind::kBrokenPipe, PyExc_BrokenPipeError, "broken pipe"},
      {IoErrorKind::kWouldBlock, PyExc_BlockingIOError, "operation would block"},
      {IoErrorKind::kOutOfMemory, PyExc_MemoryError, "out of memory"},
      {IoErrorKind::kStorageFull, PyExc_OSError, "no storage space"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(exception_for_kind(c.kind), c.exception) << c.description;
    restore_error(error_from_io(IoError::from_kind(c.kind)));
    EXPECT_TRUE(raised(c.exception, c.description));
  }
}

TEST_F(IoErrorMapping, every_kind_raises_an_os_error_or_memory_error_with_its_description) {
  for (int k = 0; k < platform::kIoErrorKindCount; ++k) {
    const auto kind = static_cast<IoErrorKind>(k);
    PyObject* exception = exception_for_kind(kind);
    EXPECT_TRUE(exception == PyExc_MemoryError ||
                PyObject_IsSubclass(exception, PyExc_OSError) == 1)
        << "kind " << k;
    restore_error(error_from_io(IoError::from_kind(kind)));
    EXPECT_TRUE(raised(exception, platform::kind_description(kind))) << "kind " << k;
  }
}

// What an OS error code raises is what the interpreter makes of the same errno
// (OSError(errno, text) picks the subclass), apart from the codes listed here.
TEST_F(IoErrorMapping, an_errno_raises_the_interpreters_own_class_for_it) {
  const std::map<int, PyObject*> own_choice = {
      {ENOMEM, PyExc_MemoryError},  // the interpreter has no OSError subclass for it
      {EINPROGRESS, PyExc_OSError}, {EALREADY, PyExc_OSError},  // not "would block"
      {ESHUTDOWN, PyExc_OSError},   {ECHILD, PyExc_OSError},   {ESRCH, PyExc_OSError},
  };
  for (int code = 0; code < 256; ++code) {
    PyRef interpreters = PyRef::steal(PyObject_CallFunction(PyExc_OSError, "is", code, "text"));
    ASSERT_TRUE(interpreters);
    const auto own = own_choice.find(code);
    PyObject* expected = own != own_choice.end()
                             ? own->second
                             : reinterpret_cast<PyObject*>(Py_TYPE(interpreters.get()));
    restore_error(error_from_io(IoError::from_os(code)));
    PyRef error = take_raised();
    ASSERT_TRUE(error) << code;
    EXPECT_EQ(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), expected)
        << "errno " << code << ": " << Py_TYPE(error.get())->tp_name;
  }
}

class TextPayload final : public platform::IoErrorPayload {
 public:
  std::string display_text() const override { return "payload says no"; }
};

TEST_F(IoErrorMapping, io_error_forms_raise_their_display_text_as_the_only_argument) {
  restore_error(error_from_io(IoError::from_os(EPIPE)));
  PyRef os = take_raised();
  ASSERT_TRUE(os);
  EXPECT_EQ(Py_TYPE(os.get()), reinterpret_cast<PyTypeObject*>(PyExc_BrokenPipeError));
  EXPECT_EQ(text_of(os.get()), "Broken pipe (os error 32)");
  PyRef errno_value = PyRef::steal(PyObject_GetAttrString(os.get(), "errno"));
  EXPECT_EQ(errno_value.get(), Py_None);
  PyRef args = PyRef::steal(PyObject_GetAttrString(os.get(), "args"));
  EXPECT_EQ(PyTuple_GET_SIZE(args.get()), 1);

  restore_error(error_from_io(IoError::from_os(9999)));
  EXPECT_TRUE(raised(PyExc_OSError, "Unknown error 9999 (os error 9999)"));
  restore_error(error_from_io(IoError::from_kind(IoErrorKind::kWriteZero)));
  EXPECT_TRUE(raised(PyExc_OSError, "write zero"));
  restore_error(
      error_from_io(IoError::fixed(IoErrorKind::kWriteZero, "failed to write whole buffer")));
  EXPECT_TRUE(raised(PyExc_OSError, "failed to write whole buffer"));
  restore_error(
      error_from_io(IoError::custom(IoErrorKind::kTimedOut, std::make_shared<TextPayload>())));
  EXPECT_TRUE(raised(PyExc_TimeoutError, "payload says no"));
}

// --- Lazy errors, fetching and normalisation --------------------------------------------------

TEST_F(ErrorModel, lazy_error_of_a_non_exception_type_raises_type_error) {
  restore_error(make_error(reinterpret_cast<PyObject*>(&PyLong_Type), "not raised"));
  EXPECT_TRUE(raised(PyExc_TypeError, "exceptions must derive from BaseException"));
  restore_error(make_error(Py_None, "not raised"));
  EXPECT_TRUE(raised(PyExc_TypeError, "exceptions must derive from BaseException"));
  // Normalising one yields that TypeError as the instance.
  PyErr err = make_error(reinterpret_cast<PyObject*>(&PyUnicode_Type), "not raised");
  PyObject* value = normalized_value(err);
  EXPECT_EQ(Py_TYPE(value), reinterpret_cast<PyTypeObject*>(PyExc_TypeError));
  EXPECT_EQ(text_of(value), "exceptions must derive from BaseException");
}

TEST_F(ErrorModel, fetch_error_with_nothing_pending_is_a_system_error) {
  EXPECT_FALSE(take_error().has_value());
  PyErr err = fetch_error();
  EXPECT_EQ(error_type(err), PyExc_SystemError);
  restore_error(std::move(err));
  EXPECT_TRUE(raised(PyExc_SystemError, "attempted to fetch exception but none was set"));
}

TEST_F(ErrorModel, fetch_error_takes_the_pending_instance_itself) {
  PyRef instance = eval("ValueError('v')");
  PyErr_SetRaisedException(instance.new_ref().release());
  PyErr err = fetch_error();
  EXPECT_EQ(PyErr_Occurred(), nullptr);
  EXPECT_EQ(normalized_value(err), instance.get());
  restore_error(std::move(err));
  PyRef back = take_raised();
  EXPECT_EQ(back.get(), instance.get());
}

TEST_F(ErrorModel, normalization_creates_the_instance_once) {
  PyErr err = make_error(PyExc_ValueError, "once");
  EXPECT_EQ(error_type(err), PyExc_ValueError);
  PyObject* first = normalized_value(err);
  EXPECT_EQ(normalized_value(err), first);
  EXPECT_EQ(PyErr_Occurred(), nullptr);
  EXPECT_EQ(Py_TYPE(first), reinterpret_cast<PyTypeObject*>(PyExc_ValueError));
  PyRef args = PyRef::steal(PyObject_GetAttrString(first, "args"));
  EXPECT_EQ(text_of(args.get()), "('once',)");
  // Raising it afterwards raises that same instance.
  PyRef keep = PyRef::borrow(first);
  restore_error(std::move(err));
  PyRef back = take_raised();
  EXPECT_EQ(back.get(), keep.get());
}

TEST_F(ErrorModel, concurrent_normalization_from_two_threads_agrees_on_one_instance) {
  PyErr err = make_error(PyExc_KeyError, "shared");
  PyObject* seen[2] = {nullptr, nullptr};
  auto normalize_on_thread = [&](int i) {
    AttachGuard guard = attach();
    seen[i] = normalized_value(err);
    detach(guard);
  };
  std::thread first(normalize_on_thread, 0);
  std::thread second(normalize_on_thread, 1);
  Py_BEGIN_ALLOW_THREADS first.join();
  second.join();
  Py_END_ALLOW_THREADS EXPECT_NE(seen[0], nullptr);
  EXPECT_EQ(seen[0], seen[1]);
  EXPECT_EQ(normalized_value(err), seen[0]);
}

TEST_F(ErrorModel, cause_is_read_and_set_on_the_instance) {
  PyErr err = make_error(PyExc_ValueError, "outer");
  EXPECT_FALSE(error_cause(err).has_value());
  std::optional<PyErr> cause = make_error(PyExc_KeyError, "inner");
  set_error_cause(err, cause);
  std::optional<PyErr> read = error_cause(err);
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(normalized_value(*read), normalized_value(*cause));
  set_error_cause(err, std::nullopt);
  EXPECT_FALSE(error_cause(err).has_value());
}

// --- PanicException ---------------------------------------------------------------------------
// The class, its message as the only argument and the resumption of one raised by Python code are
// visible from Python (tests/python/test_format.py); the messages Python cannot provoke are here.

TEST_F(PanicException, panic_from_failure_without_a_message_or_with_a_tuple_like_one) {
  restore_error(panic_exception_from_failure(InternalFailure()));
  EXPECT_TRUE(raised(panic_exception_type(), "panic from native code"));
  // A message that looks like a tuple is still one argument.
  restore_error(panic_exception_from_failure(InternalFailure("('a', 'b')")));
  EXPECT_TRUE(raised(panic_exception_type(), "('a', 'b')"));
}

}  // namespace
}  // namespace mervik
