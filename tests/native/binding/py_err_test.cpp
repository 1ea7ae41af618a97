#include "binding/py_err.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <thread>

#include "python_test_support.h"

namespace mervik {
namespace {

using ::testing::HasSubstr;
using mervik::testing::eval;
using mervik::testing::raised;
using mervik::testing::take_raised;
using mervik::testing::text_of;
using platform::IoError;
using platform::IoErrorKind;

using IoErrorMapping = mervik::testing::PythonTest;
using ErrorModel = mervik::testing::PythonTest;
using PanicException = mervik::testing::PythonTest;

// Output the interpreter buffers in sys.stderr reaches fd 2 before it is read back.
std::string captured_stderr() {
  PyRef flushed = eval("sys.stderr.flush()", "import sys");
  return ::testing::internal::GetCapturedStderr();
}

// --- I/O errors -------------------------------------------------------------------------------

struct KindCase {
  int kind;
  const char* description;
  const char* exception;
};

void PrintTo(const KindCase& c, std::ostream* os) { *os << "kind " << c.kind; }

class IoErrorKindMapping : public mervik::testing::PythonTest, public ::testing::WithParamInterface<KindCase> {};

TEST_P(IoErrorKindMapping, raises_its_exception_with_the_description) {
  const auto kind = static_cast<IoErrorKind>(GetParam().kind);
  EXPECT_STREQ(reinterpret_cast<PyTypeObject*>(exception_for_kind(kind))->tp_name,
               GetParam().exception);
  restore_error(error_from_io(IoError::from_kind(kind)));
  EXPECT_TRUE(raised(exception_for_kind(kind), GetParam().description));
}

INSTANTIATE_TEST_SUITE_P(
    KindTable, IoErrorKindMapping,
    ::testing::Values(
        KindCase{0, "entity not found", "FileNotFoundError"},
        KindCase{1, "permission denied", "PermissionError"},
        KindCase{2, "connection refused", "ConnectionRefusedError"},
        KindCase{3, "connection reset", "ConnectionResetError"},
        KindCase{4, "host unreachable", "OSError"},
        KindCase{5, "network unreachable", "OSError"},
        KindCase{6, "connection aborted", "ConnectionAbortedError"},
        KindCase{7, "not connected", "OSError"}, KindCase{8, "address in use", "OSError"},
        KindCase{9, "address not available", "OSError"}, KindCase{10, "network down", "OSError"},
        KindCase{11, "broken pipe", "BrokenPipeError"},
        KindCase{12, "entity already exists", "FileExistsError"},
        KindCase{13, "operation would block", "BlockingIOError"},
        KindCase{14, "not a directory", "NotADirectoryError"},
        KindCase{15, "is a directory", "IsADirectoryError"},
        KindCase{16, "directory not empty", "OSError"},
        KindCase{17, "read-only filesystem or storage medium", "OSError"},
        KindCase{18, "filesystem loop or indirection limit (e.g. symlink loop)", "OSError"},
        KindCase{19, "stale network file handle", "OSError"},
        KindCase{20, "invalid input parameter", "OSError"},
        KindCase{21, "invalid data", "OSError"}, KindCase{22, "timed out", "TimeoutError"},
        KindCase{23, "write zero", "OSError"}, KindCase{24, "no storage space", "OSError"},
        KindCase{25, "seek on unseekable file", "OSError"},
        KindCase{26, "quota exceeded", "OSError"}, KindCase{27, "file too large", "OSError"},
        KindCase{28, "resource busy", "OSError"}, KindCase{29, "executable file busy", "OSError"},
        KindCase{30, "deadlock", "OSError"},
        KindCase{31, "cross-device link or rename", "OSError"},
        KindCase{32, "too many links", "OSError"}, KindCase{33, "invalid filename", "OSError"},
        KindCase{34, "argument list too long", "OSError"},
        KindCase{35, "operation interrupted", "InterruptedError"},
        KindCase{36, "unsupported", "OSError"},
        KindCase{37, "unexpected end of file", "OSError"},
        KindCase{38, "out of memory", "MemoryError"}, KindCase{39, "in progress", "OSError"},
        KindCase{40, "other error", "OSError"}, KindCase{41, "uncategorized error", "OSError"}),
    [](const ::testing::TestParamInfo<KindCase>& param_info) {
      return "kind_" + std::to_string(param_info.param.kind);
    });

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
  restore_error(error_from_io(
      IoError::fixed(IoErrorKind::kWriteZero, "failed to write whole buffer")));
  EXPECT_TRUE(raised(PyExc_OSError, "failed to write whole buffer"));
  restore_error(error_from_io(
      IoError::custom(IoErrorKind::kTimedOut, std::make_shared<TextPayload>())));
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
  Py_BEGIN_ALLOW_THREADS
  first.join();
  second.join();
  Py_END_ALLOW_THREADS
  EXPECT_NE(seen[0], nullptr);
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

TEST_F(PanicException, panic_exception_class_is_created_once_with_its_properties) {
  PyObject* type = panic_exception_type();
  EXPECT_EQ(panic_exception_type(), type);
  EXPECT_TRUE(PyExceptionClass_Check(type));
  EXPECT_TRUE(PyObject_IsSubclass(type, PyExc_BaseException) == 1);
  EXPECT_TRUE(PyObject_IsSubclass(type, PyExc_Exception) == 0);
  PyRef module = PyRef::steal(PyObject_GetAttrString(type, "__module__"));
  EXPECT_EQ(text_of(module.get()), "mervik_runtime");
  PyRef name = PyRef::steal(PyObject_GetAttrString(type, "__name__"));
  EXPECT_EQ(text_of(name.get()), "PanicException");
  PyRef doc = PyRef::steal(PyObject_GetAttrString(type, "__doc__"));
  EXPECT_EQ(text_of(doc.get()),
            "\nThe exception raised when native code called from Python panics.\n\n"
            "Like SystemExit, this exception is derived from BaseException so that\n"
            "it will typically propagate all the way through the stack and cause the\n"
            "Python interpreter to exit.\n");
}

TEST_F(PanicException, panic_from_failure_carries_the_message_as_its_only_argument) {
  restore_error(panic_exception_from_failure(InternalFailure("dictionary changed")));
  PyRef with_message = take_raised();
  ASSERT_TRUE(with_message);
  EXPECT_EQ(reinterpret_cast<PyObject*>(Py_TYPE(with_message.get())), panic_exception_type());
  PyRef args = PyRef::steal(PyObject_GetAttrString(with_message.get(), "args"));
  EXPECT_EQ(text_of(args.get()), "('dictionary changed',)");

  restore_error(panic_exception_from_failure(InternalFailure()));
  EXPECT_TRUE(raised(panic_exception_type(), "panic from native code"));
  // A message that looks like a tuple is still one argument.
  restore_error(panic_exception_from_failure(InternalFailure("('a', 'b')")));
  EXPECT_TRUE(raised(panic_exception_type(), "('a', 'b')"));
}

TEST_F(PanicException, take_error_resumes_a_panic_exception_with_its_message) {
  PyErr_SetString(panic_exception_type(), "from below");
  ::testing::internal::CaptureStderr();
  std::optional<std::string> message;
  try {
    (void)take_error();
  } catch (const InternalFailure& failure) {
    message = failure.message();
  }
  const std::string err = captured_stderr();
  EXPECT_EQ(message, "from below");
  EXPECT_EQ(PyErr_Occurred(), nullptr);
  EXPECT_THAT(err, HasSubstr("--- mervik is resuming a panic after fetching a PanicException "
                             "from Python. ---\nPython stack trace below:\n"));
  EXPECT_THAT(err, HasSubstr("PanicException: from below"));
}

TEST_F(PanicException, take_error_of_an_unprintable_panic_resumes_with_a_fixed_message) {
  PyRef bad = eval("Bad()", "class Bad:\n    def __str__(self):\n        raise ValueError('no')\n");
  PyRef instance = PyRef::steal(PyObject_CallOneArg(panic_exception_type(), bad.get()));
  ASSERT_TRUE(instance);
  PyErr_SetRaisedException(instance.release());
  ::testing::internal::CaptureStderr();
  std::optional<std::string> message;
  try {
    (void)fetch_error();
  } catch (const InternalFailure& failure) {
    message = failure.message();
  }
  (void)captured_stderr();
  EXPECT_EQ(message, "Unwrapped panic from Python code");
  EXPECT_EQ(PyErr_Occurred(), nullptr);
}

}  // namespace
}  // namespace mervik
