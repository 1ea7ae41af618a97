// Argument binding and its messages.
#include "binding/call_signature.h"

#include <vector>

#include "binding/convert.h"
#include "platform/compiler.h"

namespace mervik {
namespace {

// A keyword's text, or nothing when it is not a str with valid UTF-8.
std::optional<std::string_view> keyword_text(PyObject* keyword) {
  if (!PyUnicode_Check(keyword)) return std::nullopt;
  Py_ssize_t size;
  const char* data = PyUnicode_AsUTF8AndSize(keyword, &size);
  if (data == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  return std::string_view(data, static_cast<size_t>(size));
}

MERVIK_NOINLINE PyErr too_many_positional(const CallSignature& sig, Py_ssize_t n) {
  const size_t p = sig.positional_parameter_names.size();
  std::string message = callable_display_name(sig);
  if (sig.required_positional_count == p) {
    message += " takes " + std::to_string(p);
  } else {
    message +=
        " takes from " + std::to_string(sig.required_positional_count) + " to " + std::to_string(p);
  }
  message +=
      " positional arguments but " + std::to_string(n) + (n == 1 ? " was" : " were") + " given";
  return type_error(std::move(message));
}

MERVIK_NOINLINE PyErr unexpected_keyword(const CallSignature& sig, PyObject* keyword) {
  return type_error(callable_display_name(sig) + " got an unexpected keyword argument '" +
                    std::string(display_text(keyword).view()) + "'");
}

MERVIK_NOINLINE PyErr multiple_values(const CallSignature& sig, std::string_view keyword) {
  return type_error(callable_display_name(sig) + " got multiple values for argument '" +
                    std::string(keyword) + "'");
}

MERVIK_NOINLINE PyErr missing(const CallSignature& sig, std::string_view kind,
                              std::span<const std::string_view> names) {
  return type_error(callable_display_name(sig) + " missing " + std::to_string(names.size()) +
                    " required " + std::string(kind) + " " +
                    (names.size() == 1 ? "argument" : "arguments") + ": " +
                    format_parameter_list(names));
}

// Binds one keyword argument. Positional-only names passed as keywords are collected in
// `misused` (allocated only when that happens).
Result<void> bind_keyword(const CallSignature& sig, PyObject* keyword, PyObject* value,
                          std::span<PyObject*> slots, std::vector<std::string_view>& misused) {
  const auto text = keyword_text(keyword);
  if (!text) return std::unexpected(unexpected_keyword(sig, keyword));
  const size_t p = sig.positional_parameter_names.size();
  for (size_t i = 0; i < sig.keyword_only_parameters.size(); ++i) {
    if (sig.keyword_only_parameters[i].name == *text) {
      if (slots[p + i] != nullptr) return std::unexpected(multiple_values(sig, *text));
      slots[p + i] = value;
      return {};
    }
  }
  for (size_t i = 0; i < p; ++i) {
    if (sig.positional_parameter_names[i] == *text) {
      if (i < sig.positional_only_count) {
        misused.push_back(*text);
        return {};
      }
      if (slots[i] != nullptr) return std::unexpected(multiple_values(sig, *text));
      slots[i] = value;
      return {};
    }
  }
  return std::unexpected(unexpected_keyword(sig, keyword));
}

// The checks that follow the keywords: misused positional-only names, missing arguments.
Result<void> finish_binding(const CallSignature& sig, size_t n, std::span<PyObject*> slots,
                            const std::vector<std::string_view>& misused) {
  if (!misused.empty()) {
    return std::unexpected(
        type_error(callable_display_name(sig) +
                   " got some positional-only arguments passed as keyword arguments: " +
                   format_parameter_list(misused)));
  }
  const size_t required = sig.required_positional_count;
  if (n < required) {
    bool any_missing = false;
    for (size_t i = n; i < required; ++i) any_missing |= slots[i] == nullptr;
    if (any_missing) {
      std::vector<std::string_view> names;
      for (size_t i = 0; i < required; ++i) {
        if (slots[i] == nullptr) names.push_back(sig.positional_parameter_names[i]);
      }
      return std::unexpected(missing(sig, "positional", names));
    }
  }
  const size_t p = sig.positional_parameter_names.size();
  std::vector<std::string_view> names;
  for (size_t i = 0; i < sig.keyword_only_parameters.size(); ++i) {
    if (sig.keyword_only_parameters[i].required && slots[p + i] == nullptr) {
      names.push_back(sig.keyword_only_parameters[i].name);
    }
  }
  if (!names.empty()) return std::unexpected(missing(sig, "keyword", names));
  return {};
}

}  // namespace

Result<void> bind_vector_call(const CallSignature& sig, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames, std::span<PyObject*> slots) {
  const size_t p = sig.positional_parameter_names.size();
  const size_t n = static_cast<size_t>(nargs);
  for (size_t i = 0; i < std::min(n, p); ++i) slots[i] = args[i];
  if (n > p) return std::unexpected(too_many_positional(sig, nargs));
  std::vector<std::string_view> misused;
  if (kwnames != nullptr) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < count; ++k) {
      MERVIK_TRY(bind_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], slots, misused));
    }
  }
  return finish_binding(sig, n, slots, misused);
}

Result<void> bind_tuple_dict_call(const CallSignature& sig, PyObject* args, PyObject* kwargs,
                                  std::span<PyObject*> slots) {
  const size_t p = sig.positional_parameter_names.size();
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  const size_t n = static_cast<size_t>(nargs);
  for (size_t i = 0; i < std::min(n, p); ++i) slots[i] = PyTuple_GET_ITEM(args, i);
  if (n > p) return std::unexpected(too_many_positional(sig, nargs));
  std::vector<std::string_view> misused;
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      MERVIK_TRY(bind_keyword(sig, key, value, slots, misused));
    }
  }
  return finish_binding(sig, n, slots, misused);
}

std::string callable_display_name(const CallSignature& sig) {
  std::string name;
  if (sig.class_name) {
    name += *sig.class_name;
    name += '.';
  }
  name += sig.func_name;
  name += "()";
  return name;
}

std::string format_parameter_list(std::span<const std::string_view> names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) out += ',';
      out += i + 1 == names.size() ? " and " : " ";
    }
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

PyErr wrap_argument_error(std::string_view argument_name, PyErr error) {
  PyObject* value = normalized_value(error);
  if (Py_TYPE(value) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) return error;
  PyErr relabelled = type_error("argument '" + std::string(argument_name) +
                                "': " + std::string(display_text(value).view()));
  normalized_value(relabelled);
  set_error_cause(relabelled, error_cause(error));
  return relabelled;
}

}  // namespace mervik
