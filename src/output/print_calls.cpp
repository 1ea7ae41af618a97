// pretty_print, format_escaped_bytes and print_escaped_bytes.
#include "output/print_calls.h"

#include <array>
#include <cstring>

#include "binding/attachment.h"
#include "binding/convert.h"
#include "format/entry_points.h"
#include "format/object_formatter.h"
#include "format/write_step.h"
#include "output/byte_escapes.h"
#include "output/stdout_writer.h"

namespace mervik {
namespace {

constexpr std::string_view kObjParameter[] = {"obj"};

constexpr CallSignature kPrettyPrintSignature{
    .func_name = "pretty_print",
    .positional_parameter_names = kObjIndentParameters,
    .keyword_only_parameters = {},
    .class_name = std::nullopt,
    .positional_only_count = 0,
    .required_positional_count = 1,
};
constexpr CallSignature kFormatEscapedSignature{
    .func_name = "format_escaped_bytes",
    .positional_parameter_names = kObjParameter,
    .keyword_only_parameters = {},
    .class_name = std::nullopt,
    .positional_only_count = 0,
    .required_positional_count = 1,
};
constexpr CallSignature kPrintEscapedSignature{
    .func_name = "print_escaped_bytes",
    .positional_parameter_names = kObjParameter,
    .keyword_only_parameters = {},
    .class_name = std::nullopt,
    .positional_only_count = 0,
    .required_positional_count = 1,
};

// Whether the print call running on this thread gives up the interpreter around system writes.
constinit thread_local bool release_around_writes = false;

// The writer gives up the interpreter around each contended wait for its lock, and around each
// system write when standard output is a pipe, FIFO or socket: only then can a write wait on a
// thread of this process (one draining the pipe, as notebook kernels do). Writes to files,
// terminals and devices keep it, so that no other thread runs in the middle of a print.
const InterpreterHooks kReleaseInterpreter = {
    .release = []() noexcept {
      const SuspendedAttachment saved = suspend_attachment();
      return InterpreterHooks::Token{{static_cast<uintptr_t>(saved.depth),
                                      reinterpret_cast<uintptr_t>(saved.thread_state)}};
    },
    .reacquire = [](InterpreterHooks::Token token) noexcept {
      resume_attachment_quietly({static_cast<intptr_t>(token.words[0]),
                                 reinterpret_cast<PyThreadState*>(token.words[1])});
    },
    .release_around_writes = []() noexcept { return release_around_writes; },
    // During shutdown the holder may be a daemon thread that will never run again.
    .before_wait = []() noexcept -> IoResult {
      if (!Py_IsFinalizing()) return {};
      PyErr_SetString(PyExc_RuntimeError,
                      "could not acquire lock for mervik's standard-output writer at "
                      "interpreter shutdown, possibly due to daemon threads");
      return std::unexpected(pending_exception_io_error());
    },
    .after_interrupt = []() noexcept -> IoResult {
      if (PyErr_CheckSignals() < 0) return std::unexpected(pending_exception_io_error());
      return {};
    },
};

/// The process's writer, set up with the hooks above.
StdoutWriter& stdout_writer() {
  static StdoutWriter& writer = [] -> StdoutWriter& {
    StdoutWriter& w = StdoutWriter::instance();
    w.set_interpreter_hooks(&kReleaseInterpreter);
    return w;
  }();
  return writer;
}

/// Decides, once for a print call, whether its system writes give up the interpreter; restores
/// the enclosing call's choice (a print from a __repr__ inside a print) when it ends.
class PrintCall {
 public:
  explicit PrintCall(const StdoutWriter& writer) noexcept
      : outer_(std::exchange(release_around_writes, writer.writes_to_pipe())) {}
  ~PrintCall() { release_around_writes = outer_; }
  PrintCall(const PrintCall&) = delete;
  PrintCall& operator=(const PrintCall&) = delete;

 private:
  bool outer_;
};

/// The single argument of an escaped-bytes function, which must be bytes or a subclass.
Result<std::string_view> bytes_argument(const CallSignature& signature, PyObject* const* args,
                                        Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, 1> slots{};
  MERVIK_TRY(bind_vector_call(signature, args, nargs, kwnames, slots));
  PyObject* obj = slots[0];
  if (!PyBytes_Check(obj)) {
    return std::unexpected(
        wrap_argument_error("obj", cast_error(obj, reinterpret_cast<PyObject*>(&PyBytes_Type))));
  }
  return std::string_view(PyBytes_AS_STRING(obj), static_cast<size_t>(PyBytes_GET_SIZE(obj)));
}

}  // namespace

Result<void> render_to_stdout(PyObject* obj, uint64_t indent) {
  StdoutWriter& writer = stdout_writer();
  const PrintCall call(writer);
  return ObjectFormatter::print(obj, indent, writer);
}

Result<PyRef> pretty_print_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, kPrettyPrintSignature.slot_count()> slots{};
  MERVIK_TRY(bind_vector_call(kPrettyPrintSignature, args, nargs, kwnames, slots));
  MERVIK_TRY_ASSIGN(const uint64_t indent, indent_argument(slots[1]));
  MERVIK_TRY(render_to_stdout(slots[0], indent));
  return PyRef::borrow(Py_None);
}

Result<PyRef> format_escaped_bytes_call(PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
  MERVIK_TRY_ASSIGN(const std::string_view bytes,
                    bytes_argument(kFormatEscapedSignature, args, nargs, kwnames));
  // The text is pure ASCII of a known length: write it straight into the str.
  PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(bytes.size() * 4), 127);
  if (text == nullptr) api_call_failed();
  auto* out = static_cast<char*>(PyUnicode_DATA(text));
  for (unsigned char byte : bytes) {
    std::memcpy(out, kByteEscapes[byte].data(), 4);
    out += 4;
  }
  return PyRef::steal(text);
}

Result<PyRef> print_escaped_bytes_call(PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
  MERVIK_TRY_ASSIGN(const std::string_view bytes,
                    bytes_argument(kPrintEscapedSignature, args, nargs, kwnames));
  StdoutWriter& writer = stdout_writer();
  const PrintCall call(writer);
  if (IoResult written = writer.write_escaped(bytes); !written) [[unlikely]] {
    return std::unexpected(error_from_io(written.error()));
  }
  return write_step(writer, {"\n"}).transform([] { return PyRef::borrow(Py_None); });
}

}  // namespace mervik
