// PyErr: one Python exception, lazy (type plus argument recipe) or normalized (an instance);
// Result<T>, the return type of every fallible operation; and the PanicException type.
#pragma once

#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "binding/internal_failure.h"
#include "binding/py_ref.h"
#include "platform/io_error.h"
#include "platform/try.h"

namespace mervik {

/// Recipes that produce a lazy error's argument object when it is raised.
struct MessageRecipe {
  std::string text;
  bool as_tuple = false;  // a one-element tuple instead of the str itself
};
struct CastRecipe {
  PyRef source_type;
  PyRef target;
};
struct IoRecipe {
  platform::IoError error;
};
using ErrorRecipe = std::variant<MessageRecipe, CastRecipe, IoRecipe>;

struct PyErrState;

class PyErr {
 public:
  explicit PyErr(std::unique_ptr<PyErrState> state) noexcept;
  PyErr(PyErr&&) noexcept;
  PyErr& operator=(PyErr&&) noexcept;
  ~PyErr();

  PyErrState& state() const noexcept { return *state_; }

 private:
  std::unique_ptr<PyErrState> state_;
};

template <class T>
using Result = std::expected<T, PyErr>;

/// A lazy error of `type` (borrowed; a reference is taken) with an argument recipe.
PyErr make_lazy_error(PyObject* type, ErrorRecipe recipe);
/// A lazy error of `type` whose argument is the str `message`.
PyErr make_error(PyObject* type, std::string message);
inline PyErr type_error(std::string message) {
  return make_error(PyExc_TypeError, std::move(message));
}
/// An error holding an exception instance (reference taken over).
PyErr normalized_error(PyRef value);

/// The pending exception as a normalized error, or nothing. A pending PanicException resumes
/// the internal failure instead (after printing it).
std::optional<PyErr> take_error();
/// take_error() where an exception must be pending; SystemError "attempted to fetch exception
/// but none was set" when none is.
PyErr fetch_error();
/// Sets the error as the interpreter's pending exception.
void restore_error(PyErr err);
/// The exception instance (borrowed from the error), normalizing it first if needed.
PyObject* normalized_value(const PyErr& err);
/// The exception's type, without normalizing a lazy error.
PyObject* error_type(const PyErr& err) noexcept;
/// True when the error is an instance of `exc_type` (or of a subclass).
bool error_matches(const PyErr& err, PyObject* exc_type) noexcept;
/// The instance's __cause__, or nothing.
std::optional<PyErr> error_cause(const PyErr& err);
void set_error_cause(const PyErr& err, const std::optional<PyErr>& cause);

/// The exception type an I/O error of this kind raises (OSError or one of its subclasses).
PyObject* exception_for_kind(platform::IoErrorKind kind) noexcept;
/// The OSError subclass for an I/O error of a sink.
PyErr error_from_io(const platform::IoError& error);

/// An I/O failure that stands for the exception now set in the interpreter (a signal handler's,
/// or one raised where a write could not go on): error_from_io takes that exception.
platform::IoError pending_exception_io_error();

/// The PanicException class, created on first use.
PyObject* panic_exception_type();
/// The PanicException error for an internal failure caught by the call guard.
PyErr panic_exception_from_failure(const InternalFailure& failure);

/// "PyErr { type: ..., value: ..., traceback: ... }", for internal-failure messages.
std::string debug_description(const PyErr& err);

}  // namespace mervik
