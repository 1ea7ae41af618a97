// The process's table of standard-output operations, from this platform's functions.
#include "platform/stdout_system.h"

namespace mervik::platform {

const StdoutOps& system_stdout_ops() noexcept {
  static const StdoutOps ops = {
      .get_handle = system_stdout::get_handle,
      .is_console = system_stdout::is_console,
      .console_output_code_page = system_stdout::console_output_code_page,
      .write_bytes = system_stdout::write_bytes,
      .utf8_to_utf16 = system_stdout::utf8_to_utf16,
      .write_console = system_stdout::write_console,
      .is_interrupted = system_stdout::is_interrupted,
      .invalid_handle_code = system_stdout::invalid_handle_code(),
      .is_pipe = system_stdout::is_pipe,
  };
  return ops;
}

}  // namespace mervik::platform
