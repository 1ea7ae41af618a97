// write_step: one TextSink write whose I/O failure becomes the matching OSError.
#pragma once

#include <initializer_list>
#include <string_view>

#include "binding/py_err.h"
#include "format/text_sink.h"

namespace mervik {

/// The outcome of a sink's write as a Result: an I/O failure becomes the matching OSError.
inline Result<void> io_result(IoResult written) {
  if (!written) [[unlikely]]
    return std::unexpected(error_from_io(written.error()));
  return {};
}

inline Result<void> write_step(TextSink& sink, std::initializer_list<std::string_view> fragments) {
  return io_result(sink.write(fragments));
}

}  // namespace mervik
