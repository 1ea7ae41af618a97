// CallSignature: the static parameter description of a callable, and the binders that map the
// interpreter's arguments onto its slots.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "binding/py_err.h"

namespace mervik {

struct KeywordOnlyParameter {
  std::string_view name;
  bool required;
};

struct CallSignature {
  std::string_view func_name;
  std::span<const std::string_view> positional_parameter_names;
  std::span<const KeywordOnlyParameter> keyword_only_parameters;
  std::optional<std::string_view> class_name;
  size_t positional_only_count;
  size_t required_positional_count;

  constexpr size_t slot_count() const {
    return positional_parameter_names.size() + keyword_only_parameters.size();
  }
};

/// Binds a fast call with keywords: `nargs` positional arguments at the start of `args`, then
/// one value per name in `kwnames` (a tuple, or null). `slots` receive borrowed references and
/// must be empty on entry. Allocates nothing on success.
Result<void> bind_vector_call(const CallSignature& signature, PyObject* const* args,
                              Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> slots);

/// Binds an arguments tuple and an optional keyword dictionary (the tp_new convention).
Result<void> bind_tuple_dict_call(const CallSignature& signature, PyObject* args, PyObject* kwargs,
                                  std::span<PyObject*> slots);

/// "Class.name()" or "name()".
std::string callable_display_name(const CallSignature& signature);

/// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string format_parameter_list(std::span<const std::string_view> names);

/// Re-labels an exact TypeError from converting an argument as "argument 'name': ..."; any
/// other error is returned unchanged.
PyErr wrap_argument_error(std::string_view argument_name, PyErr error);

}  // namespace mervik
