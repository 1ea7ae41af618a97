// The bodies of the format calls: argument handling, rendering into a StringBuffer, and the
// result str.
#pragma once

#include <cstdint>
#include <string>

#include "binding/call_signature.h"
#include "binding/py_err.h"

namespace mervik {

inline constexpr uint64_t kDefaultIndent = 4;

/// The indentation width from an `indent` slot: 4 when it is empty, else the converted value
/// (conversion failures re-labelled for argument 'indent').
Result<uint64_t> indent_argument(PyObject* slot);

/// Renders `obj` into a fresh StringBuffer and returns its text as a str, with at most one copy
/// of the finished text.
Result<PyRef> render_to_str(PyObject* obj, uint64_t indent);

inline constexpr std::string_view kObjIndentParameters[] = {"obj", "indent"};

inline constexpr CallSignature kPrettyFormatSignature{
    .func_name = "pretty_format",
    .positional_parameter_names = kObjIndentParameters,
    .keyword_only_parameters = {},
    .class_name = std::nullopt,
    .positional_only_count = 0,
    .required_positional_count = 1,
};

/// pretty_format(obj, indent=4), after the interpreter's fast call with keywords.
Result<PyRef> pretty_format_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace mervik
