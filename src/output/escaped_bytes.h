// The escaped text of bytes as a str: the result of format_escaped_bytes.
#pragma once

#include <string_view>

#include "binding/py_ref.h"

namespace mervik {

/// "\xNN" for every byte of `bytes`, as a new str; the internal failure "Python API call
/// failed" if the str cannot be made.
PyRef escaped_bytes_str(std::string_view bytes);

}  // namespace mervik
