// Printing to standard output: the process's writer, set up for the interpreter, and a print
// call's choice of giving up the interpreter around system writes.
#include "output/stdout_print.h"

#include "binding/attachment.h"
#include "format/object_formatter.h"
#include "format/write_step.h"
#include "output/stdout_writer.h"

namespace mervik {
namespace {

// Whether the print call running on this thread gives up the interpreter around system writes.
constinit thread_local bool release_around_writes = false;

// The writer gives up the interpreter around each contended wait for its lock, and around each
// system write when standard output is a pipe, FIFO or socket: only then can a write wait on a
// thread of this process (one draining the pipe, as notebook kernels do). Writes to files,
// terminals and devices keep it, so that no other thread runs in the middle of a print.
const InterpreterHooks kReleaseInterpreter = {
    .release =
        []() noexcept {
          const SuspendedAttachment saved = suspend_attachment();
          return InterpreterHooks::Token{{static_cast<uintptr_t>(saved.depth),
                                          reinterpret_cast<uintptr_t>(saved.thread_state)}};
        },
    .reacquire =
        [](InterpreterHooks::Token token) noexcept {
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

}  // namespace

Result<void> print_object(PyObject* obj, uint64_t indent) {
  StdoutWriter& writer = stdout_writer();
  const PrintCall call(writer);
  return ObjectFormatter::print(obj, indent, writer);
}

Result<void> print_escaped_bytes(std::string_view bytes) {
  StdoutWriter& writer = stdout_writer();
  const PrintCall call(writer);
  MERVIK_TRY(io_result(writer.write_escaped(bytes)));
  return write_step(writer, {"\n"});
}

}  // namespace mervik
