// PyErr states, normalisation, raising and taking exceptions, I/O error mapping, PanicException.
#include "binding/py_err.h"

#include <array>
#include <cstdio>
#include <mutex>
#include <thread>

#include "binding/attachment.h"
#include "binding/convert.h"
#include "binding/once.h"

namespace mervik {

struct LazyError {
  PyRef type;
  ErrorRecipe recipe;
};
struct NormalizedError {
  PyRef value;
};

struct PyErrState {
  std::variant<std::monostate, LazyError, NormalizedError> inner;
  std::atomic<bool> normalized{false};
  std::mutex normalize_mutex;
  std::mutex thread_mutex;
  std::optional<std::thread::id> normalizing_thread;
};

PyErr::PyErr(std::unique_ptr<PyErrState> state) noexcept : state_(std::move(state)) {}
PyErr::PyErr(PyErr&&) noexcept = default;
PyErr& PyErr::operator=(PyErr&&) noexcept = default;
PyErr::~PyErr() = default;

namespace {

constexpr const char* kPanicDoc =
    "\n"
    "The exception raised when native code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

PyRef checked(PyObject* obj) {
  if (obj == nullptr) api_call_failed();
  return PyRef::steal(obj);
}

PyRef recipe_argument(ErrorRecipe& recipe) {
  if (auto* message = std::get_if<MessageRecipe>(&recipe)) {
    PyRef text = new_str_object(message->text);
    if (!message->as_tuple) return text;
    PyRef tuple = checked(PyTuple_New(1));
    PyTuple_SET_ITEM(tuple.get(), 0, text.release());
    return tuple;
  }
  if (auto* cast = std::get_if<CastRecipe>(&recipe)) {
    return new_str_object(cast_message(cast->source_type.get(), cast->target.get()));
  }
  return new_str_object(std::get<IoRecipe>(recipe).error.display_text());
}

// Sets a lazy error as the pending exception.
void raise_lazy(LazyError lazy) {
  PyRef argument = recipe_argument(lazy.recipe);
  lazy.recipe = MessageRecipe{};  // release the recipe's own references first
  if (PyExceptionClass_Check(lazy.type.get())) {
    PyErr_SetObject(lazy.type.get(), argument.get());
  } else {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
  }
}

NormalizedError& normalize(PyErrState& state) {
  {
    std::lock_guard lock(state.thread_mutex);
    if (state.normalizing_thread == std::this_thread::get_id()) {
      fail("Re-entrant normalization of PyErrState detected");
    }
  }
  if (!state.normalized.load(std::memory_order_acquire)) {
    std::unique_lock lock(state.normalize_mutex, std::try_to_lock);
    if (!lock.owns_lock()) {
      // Another thread is normalizing this error and may need the interpreter: wait without it.
      // A thread that holds the interpreter otherwise keeps it, so that normalizing works while
      // the interpreter is finalizing, when it could not be taken back.
      if (attach_depth() > 0) {
        const SuspendedAttachment saved = suspend_attachment();
        lock.lock();
        resume_attachment(saved);
      } else {
        lock.lock();
      }
    }
    if (!state.normalized.load(std::memory_order_acquire)) {
      {
        std::lock_guard thread_lock(state.thread_mutex);
        state.normalizing_thread = std::this_thread::get_id();
      }
      auto inner = std::exchange(state.inner, std::monostate{});
      if (std::holds_alternative<std::monostate>(inner)) {
        fail("Cannot normalize a PyErr while already normalizing it.");
      }
      struct Attached {
        AttachGuard guard = attach();
        ~Attached() { detach(guard); }
      } attached;
      if (auto* lazy = std::get_if<LazyError>(&inner)) {
        raise_lazy(std::move(*lazy));
        PyObject* value = PyErr_GetRaisedException();
        if (value == nullptr) fail("exception missing after writing to the interpreter");
        state.inner = NormalizedError{PyRef::steal(value)};
      } else {
        state.inner = std::move(inner);
      }
      state.normalized.store(true, std::memory_order_release);
    }
  }
  auto* normalized = std::get_if<NormalizedError>(&state.inner);
  if (normalized == nullptr) fail("PyErr state should never be invalid outside of normalization");
  return *normalized;
}

}  // namespace

PyErr make_lazy_error(PyObject* type, ErrorRecipe recipe) {
  auto state = std::make_unique<PyErrState>();
  state->inner = LazyError{PyRef::borrow(type), std::move(recipe)};
  return PyErr(std::move(state));
}

PyErr make_error(PyObject* type, std::string message) {
  return make_lazy_error(type, MessageRecipe{std::move(message)});
}

PyErr normalized_error(PyRef value) {
  auto state = std::make_unique<PyErrState>();
  state->inner = NormalizedError{std::move(value)};
  state->normalized.store(true, std::memory_order_relaxed);
  return PyErr(std::move(state));
}

std::optional<PyErr> take_error() {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr) return std::nullopt;
  PyRef value = PyRef::steal(raised);
  if (Py_TYPE(raised) != reinterpret_cast<PyTypeObject*>(panic_exception_type())) {
    return normalized_error(std::move(value));
  }
  // A PanicException came back through Python code: report it and resume the failure.
  std::string message = "Unwrapped panic from Python code";
  if (PyObject* text = PyObject_Str(raised)) {
    PyRef owned = PyRef::steal(text);
    message = std::string(str_lossy_text(text).view());
  } else {
    PyErr_Clear();
  }
  std::fputs("--- mervik is resuming a panic after fetching a PanicException from Python. ---\n",
             stderr);
  std::fputs("Python stack trace below:\n", stderr);
  std::fflush(stderr);
  PyErr_SetRaisedException(value.release());
  PyErr_PrintEx(0);
  throw InternalFailure(std::move(message));
}

PyErr fetch_error() {
  if (auto err = take_error()) return std::move(*err);
  return make_error(PyExc_SystemError, "attempted to fetch exception but none was set");
}

void restore_error(PyErr err) {
  PyErrState& state = err.state();
  if (auto* normalized = std::get_if<NormalizedError>(&state.inner)) {
    PyErr_SetRaisedException(normalized->value.release());
  } else if (auto* lazy = std::get_if<LazyError>(&state.inner)) {
    raise_lazy(std::move(*lazy));
  } else {
    fail("PyErr state should never be invalid outside of normalization");
  }
}

PyObject* normalized_value(const PyErr& err) {
  PyErrState& state = err.state();
  if (state.normalized.load(std::memory_order_acquire)) {
    auto* normalized = std::get_if<NormalizedError>(&state.inner);
    if (normalized == nullptr) {
      fail("PyErr state should never be invalid outside of normalization");
    }
    return normalized->value.get();
  }
  return normalize(state).value.get();
}

PyObject* error_type(const PyErr& err) noexcept {
  const PyErrState& state = err.state();
  if (auto* lazy = std::get_if<LazyError>(&state.inner)) return lazy->type.get();
  if (auto* normalized = std::get_if<NormalizedError>(&state.inner)) {
    return reinterpret_cast<PyObject*>(Py_TYPE(normalized->value.get()));
  }
  return nullptr;
}

bool error_matches(const PyErr& err, PyObject* exc_type) noexcept {
  PyObject* type = error_type(err);
  return type != nullptr && PyErr_GivenExceptionMatches(type, exc_type);
}

std::optional<PyErr> error_cause(const PyErr& err) {
  PyObject* cause = PyException_GetCause(normalized_value(err));
  if (cause == nullptr) return std::nullopt;
  return normalized_error(PyRef::steal(cause));
}

void set_error_cause(const PyErr& err, const std::optional<PyErr>& cause) {
  PyObject* value = normalized_value(err);
  PyException_SetCause(value, cause ? Py_NewRef(normalized_value(*cause)) : nullptr);
}

PyObject* exception_for_kind(platform::IoErrorKind kind) noexcept {
  using enum platform::IoErrorKind;
  switch (kind) {
    case kNotFound: return PyExc_FileNotFoundError;
    case kPermissionDenied: return PyExc_PermissionError;
    case kConnectionRefused: return PyExc_ConnectionRefusedError;
    case kConnectionReset: return PyExc_ConnectionResetError;
    case kConnectionAborted: return PyExc_ConnectionAbortedError;
    case kBrokenPipe: return PyExc_BrokenPipeError;
    case kAlreadyExists: return PyExc_FileExistsError;
    case kWouldBlock: return PyExc_BlockingIOError;
    case kNotADirectory: return PyExc_NotADirectoryError;
    case kIsADirectory: return PyExc_IsADirectoryError;
    case kTimedOut: return PyExc_TimeoutError;
    case kInterrupted: return PyExc_InterruptedError;
    case kOutOfMemory: return PyExc_MemoryError;
    default: return PyExc_OSError;
  }
}

namespace {

class PendingException final : public platform::IoErrorPayload {
 public:
  std::string display_text() const override { return "the operation was interrupted"; }
};

const std::shared_ptr<const PendingException>& pending_exception_payload() {
  static const auto* const payload =
      new std::shared_ptr<const PendingException>(std::make_shared<const PendingException>());
  return *payload;
}

}  // namespace

platform::IoError pending_exception_io_error() {
  return platform::IoError::custom(platform::IoErrorKind::kInterrupted,
                                   pending_exception_payload());
}

PyErr error_from_io(const platform::IoError& error) {
  if (error.payload() == pending_exception_payload().get()) {
    if (std::optional<PyErr> pending = take_error()) return std::move(*pending);
  }
  return make_lazy_error(exception_for_kind(error.kind()), IoRecipe{error});
}

PyObject* panic_exception_type() {
  static std::atomic<PyObject*> type{nullptr};
  static DetachedOnce once;
  if (PyObject* existing = type.load(std::memory_order_acquire)) return existing;
  auto created = once.run([]() -> Result<void> {
    PyObject* cls = PyErr_NewExceptionWithDoc("mervik_runtime.PanicException", kPanicDoc,
                                              PyExc_BaseException, nullptr);
    if (cls == nullptr) {
      PyErr err = fetch_error();
      fail("Failed to initialize new exception type.: " + debug_description(err));
    }
    type.store(cls, std::memory_order_release);
    return {};
  });
  (void)created;
  return type.load(std::memory_order_acquire);
}

PyErr panic_exception_from_failure(const InternalFailure& failure) {
  return make_lazy_error(panic_exception_type(),
                         MessageRecipe{failure.message().value_or("panic from native code"), true});
}

std::string debug_description(const PyErr& err) {
  PyObject* value = normalized_value(err);
  auto repr_of = [](PyObject* obj) -> std::string {
    if (obj == nullptr) return "None";
    PyObject* text = PyObject_Repr(obj);
    if (text == nullptr) {
      PyErr_Clear();
      return "<unprintable>";
    }
    PyRef owned = PyRef::steal(text);
    return std::string(str_lossy_text(text).view());
  };
  std::string traceback = "None";
  if (PyObject* tb = PyException_GetTraceback(value)) {
    PyRef owned_tb = PyRef::steal(tb);
    PyRef module = PyRef::steal(PyImport_ImportModule("traceback"));
    PyRef lines =
        module ? PyRef::steal(PyObject_CallMethod(module.get(), "format_tb", "O", tb)) : PyRef();
    PyRef joined = lines ? PyRef::steal(PyUnicode_Join(nullptr, lines.get())) : PyRef();
    if (joined) {
      traceback = std::string(str_lossy_text(joined.get()).view());
    } else {
      PyErr_Clear();
      traceback = repr_of(tb);
    }
  }
  return "PyErr { type: " + repr_of(reinterpret_cast<PyObject*>(Py_TYPE(value))) +
         ", value: " + repr_of(value) + ", traceback: " + traceback + " }";
}

}  // namespace mervik
