// Callable: the description of one callable of the Python surface (its name, parameters,
// defaults and docstring), checked when it is compiled, and what is made from it: its
// CallSignature and its PyMethodDef.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

#include "binding/call_guard.h"
#include "binding/call_signature.h"

namespace mervik {

/// How a callable is reached; decides its text signature and the name its errors show.
enum class CallableKind {
  kFunction,     // name(params), errors from "name()"
  kMethod,       // name($self, params), errors from "Class.name()"
  kConstructor,  // Class(params), errors from "Class.__new__()"
};

/// A positional-or-keyword parameter. `default_text` is its default as the text signature
/// shows it; empty for a required parameter.
struct Parameter {
  std::string_view name;
  std::string_view default_text = {};
};

template <size_t N>
struct Callable {
  CallableKind kind;
  const char* name;
  std::string_view class_name;  // for methods and constructors
  std::array<Parameter, N> parameters;
  std::array<std::string_view, N> parameter_names;
  size_t required;  // the leading parameters without a default
  const char* doc;  // the text signature, "--", then the text help() shows

  static constexpr size_t kSlots = N;

  constexpr CallSignature signature() const {
    return {
        .func_name = name,
        .positional_parameter_names = parameter_names,
        .keyword_only_parameters = {},
        .class_name = kind == CallableKind::kFunction ? std::nullopt
                                                      : std::optional<std::string_view>(class_name),
        .positional_only_count = 0,
        .required_positional_count = required,
    };
  }
};

namespace detail {

/// Consumes `expected` from the front of `text`; false when `text` does not start with it.
consteval bool consume(std::string_view& text, std::string_view expected) {
  if (!text.starts_with(expected)) return false;
  text.remove_prefix(expected.size());
  return true;
}

/// True when `doc` starts with the text signature the parameters give, then "\n--\n\n".
template <size_t N>
consteval bool doc_has_signature(const Callable<N>& c) {
  std::string_view doc = c.doc;
  const bool named =
      c.kind == CallableKind::kConstructor ? consume(doc, c.class_name) : consume(doc, c.name);
  if (!named || !consume(doc, "(")) return false;
  if (c.kind == CallableKind::kMethod && !consume(doc, N == 0 ? "$self" : "$self, ")) {
    return false;
  }
  for (size_t i = 0; i < N; ++i) {
    if (i > 0 && !consume(doc, ", ")) return false;
    if (!consume(doc, c.parameters[i].name)) return false;
    if (!c.parameters[i].default_text.empty() &&
        !(consume(doc, "=") && consume(doc, c.parameters[i].default_text))) {
      return false;
    }
  }
  return consume(doc, ")\n--\n\n");
}

template <size_t N>
consteval Callable<N> make_callable(CallableKind kind, const char* name,
                                    std::string_view class_name, const Parameter (&parameters)[N],
                                    const char* doc) {
  Callable<N> c{kind, name, class_name, {}, {}, 0, doc};
  bool seen_default = false;
  for (size_t i = 0; i < N; ++i) {
    c.parameters[i] = parameters[i];
    c.parameter_names[i] = parameters[i].name;
    for (size_t j = 0; j < i; ++j) {
      if (parameters[j].name == parameters[i].name) throw "a parameter name is repeated";
    }
    if (parameters[i].default_text.empty()) {
      if (seen_default) throw "a required parameter follows one with a default";
      ++c.required;
    } else {
      seen_default = true;
    }
  }
  if ((kind == CallableKind::kFunction) != class_name.empty()) {
    throw "methods and constructors name their class, functions do not";
  }
  if (!doc_has_signature(c)) throw "the docstring must start with the callable's text signature";
  return c;
}

}  // namespace detail

/// A module-level function.
template <size_t N>
consteval Callable<N> function(const char* name, const Parameter (&parameters)[N],
                               const char* doc) {
  return detail::make_callable(CallableKind::kFunction, name, {}, parameters, doc);
}
/// A method of `class_name`.
template <size_t N>
consteval Callable<N> method(std::string_view class_name, const char* name,
                             const Parameter (&parameters)[N], const char* doc) {
  return detail::make_callable(CallableKind::kMethod, name, class_name, parameters, doc);
}
/// The constructor (tp_new) of `class_name`; its docstring is the class's.
template <size_t N>
consteval Callable<N> constructor(std::string_view class_name, const Parameter (&parameters)[N],
                                  const char* doc) {
  return detail::make_callable(CallableKind::kConstructor, "__new__", class_name, parameters, doc);
}

/// The CallSignature of a callable of the table.
template <const auto& kCallable>
inline constexpr CallSignature kSignatureOf = kCallable.signature();

/// The arguments of a call, one slot per parameter (borrowed; null for an omitted one).
using Slots = std::span<PyObject* const>;

/// What a callable does once its arguments are bound: `self` is the module for a function and
/// the receiver for a method.
using CallableBody = Result<PyRef> (*)(PyObject* self, Slots slots);

/// The interpreter's entry for a callable taking the fast call with keywords: binds the
/// arguments, then runs the body, inside the call guard.
template <const auto& kCallable, CallableBody kBody>
PyObject* fast_call_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return run_guarded([&]() -> Result<PyRef> {
    std::array<PyObject*, kCallable.kSlots> slots{};
    MERVIK_TRY(bind_vector_call(kSignatureOf<kCallable>, args, nargs, kwnames, slots));
    return kBody(self, slots);
  });
}

/// The PyMethodDef of a function or method.
template <const auto& kCallable, CallableBody kBody>
PyMethodDef method_def() {
  static_assert(kCallable.kind != CallableKind::kConstructor);
  return {kCallable.name, _PyCFunction_CAST((fast_call_entry<kCallable, kBody>)),
          METH_FASTCALL | METH_KEYWORDS, kCallable.doc};
}

}  // namespace mervik
