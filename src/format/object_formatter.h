// ObjectFormatter: renders any Python object as indented, one-item-per-line text.
#pragma once

#include <cstdint>

#include "binding/py_err.h"
#include "format/text_sink.h"

namespace mervik {

class ObjectFormatter {
 public:
  /// Writes the rendering of `obj` (borrowed) into `sink`, each line of a container indented by
  /// `current` + `indent` spaces and its closing bracket by `current`. Dataclass instances,
  /// lists, dicts and tuples (subclasses included) open blocks; everything else is written as
  /// its repr(). The first failure, at any depth, ends the rendering; what the sink accepted
  /// stays written.
  static Result<void> render(PyObject* obj, uint64_t indent, uint64_t current, TextSink& sink);

  /// The rendering of `obj` as a new str, made with at most one copy of the finished text.
  static Result<PyRef> format(PyObject* obj, uint64_t indent);

  /// Writes the rendering of `obj` and a line break to `target`, with the same effect as
  /// writing its steps one by one through `render` but in runs of many steps.
  static Result<void> print(PyObject* obj, uint64_t indent, LineRunTarget& target);
};

}  // namespace mervik
