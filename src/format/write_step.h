// write_step: one TextSink write whose I/O failure becomes the matching OSError.
#pragma once

#include <initializer_list>
#include <string_view>

#include "binding/py_err.h"
#include "format/text_sink.h"

namespace mervik {

inline Result<void> write_step(TextSink& sink, std::initializer_list<std::string_view> fragments) {
  if (auto written = sink.write(fragments); !written) [[unlikely]] {
    return std::unexpected(error_from_io(written.error()));
  }
  return {};
}

}  // namespace mervik
