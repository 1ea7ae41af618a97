// The format calls.
#include "format/entry_points.h"

#include <array>
#include <utility>

#include "binding/convert.h"
#include "format/object_formatter.h"
#include "format/string_buffer.h"

namespace mervik {

Result<uint64_t> indent_argument(PyObject* slot) {
  if (slot == nullptr) return kDefaultIndent;
  auto value = extract_u64(slot);
  if (!value) return std::unexpected(wrap_argument_error("indent", std::move(value).error()));
  return *value;
}

Result<PyRef> render_to_str(PyObject* obj, uint64_t indent) {
  StringBuffer buffer(StringBuffer::Storage::kThreadReusable);
  MERVIK_TRY(ObjectFormatter::render(obj, indent, 0, buffer));
  return std::move(buffer).take_str();
}

Result<PyRef> pretty_format_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, kPrettyFormatSignature.slot_count()> slots{};
  MERVIK_TRY(bind_vector_call(kPrettyFormatSignature, args, nargs, kwnames, slots));
  MERVIK_TRY_ASSIGN(const uint64_t indent, indent_argument(slots[1]));
  return render_to_str(slots[0], indent);
}

}  // namespace mervik
