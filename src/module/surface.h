// The Python surface of the module: every callable with its parameters, defaults and docstring,
// and the conversion of the `indent` argument they share.
#pragma once

#include <cstdint>

#include "binding/py_err.h"
#include "module/callable.h"

namespace mervik {

inline constexpr char kModuleName[] = "mervik";
inline constexpr char kModuleDoc[] = "A module for pretty-printing Python objects.";
inline constexpr char kPrettyClassName[] = "Pretty";

inline constexpr uint64_t kDefaultIndent = 4;
inline constexpr Parameter kObj{"obj"};
inline constexpr Parameter kIndent{"indent", "4"};

namespace detail {
consteval uint64_t decimal_value(std::string_view digits) {
  uint64_t value = 0;
  for (const char digit : digits) value = value * 10 + static_cast<uint64_t>(digit - '0');
  return value;
}
}  // namespace detail
static_assert(detail::decimal_value(kIndent.default_text) == kDefaultIndent,
              "the text signatures show the default indentation");

// Module-level functions, in the order of __all__.

inline constexpr auto kFormatEscapedBytes = function(
    "format_escaped_bytes", {kObj},
    "format_escaped_bytes(obj)\n--\n\nFormats a bytes object into a string of escaped hex bytes. "
    "For example, b\"ABC\" becomes \"\\\\x41\\\\x42\\\\x43\".\n\nArgs:\n    obj: The bytes object to "
    "format.\n\nReturns:\n    A string containing the escaped representation of the bytes object.");

inline constexpr auto kPrettyFormat = function(
    "pretty_format", {kObj, kIndent},
    "pretty_format(obj, indent=4)\n--\n\nPretty-format the given object and return it as a "
    "string.\n\nArgs:\n    obj: The object to pretty-format.\n    indent: The number of spaces to "
    "use for indentation. Default is 4.\n\nReturns:\n    A string containing the pretty-formatted "
    "representation of the object.");

inline constexpr auto kPrettyPrint = function(
    "pretty_print", {kObj, kIndent},
    "pretty_print(obj, indent=4)\n--\n\nPretty-print the given object to standard output.\n\n"
    "Args:\n    obj: The object to pretty-print.\n    indent: The number of spaces to use for "
    "indentation. Default is 4.");

inline constexpr auto kPrintEscapedBytes =
    function("print_escaped_bytes", {kObj}, "print_escaped_bytes(obj)\n--\n\n");

// The Pretty class.

inline constexpr auto kPrettyNew =
    constructor(kPrettyClassName, {kIndent},
                "Pretty(indent=4)\n--\n\nA class for pretty-printing Python objects.");

inline constexpr auto kPrettyFormatMethod =
    method(kPrettyClassName, "format", {kObj},
           "format($self, obj)\n--\n\nPretty-format the given object and return it as a string.\n\n"
           "Args:\n    obj: The object to pretty-format.\n\nReturns:\n    A string containing the "
           "pretty-formatted representation of the object.");

inline constexpr auto kPrettyPrintMethod = method(
    kPrettyClassName, "print", {kObj},
    "print($self, obj)\n--\n\nPretty-print the given object to standard output.\n\nArgs:\n    "
    "obj: The object to pretty-print.");

inline constexpr char kIndentDoc[] = "The number of spaces to use for indentation. Default is 4.";

/// The indentation width from an `indent` slot: kDefaultIndent when it is empty, else the
/// converted value (conversion failures re-labelled for argument 'indent').
Result<uint64_t> indent_argument(PyObject* slot);

}  // namespace mervik
