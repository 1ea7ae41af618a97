// StringBuffer.
#include "format/string_buffer.h"

#include "platform/utf8.h"

namespace mervik {

IoResult StringBuffer::write_fragments(std::span<const std::string_view> fragments) {
  for (std::string_view fragment : fragments) bytes_.append(fragment);
  return {};
}

std::string StringBuffer::take_text() && {
  if (!platform::is_valid_utf8(bytes_)) return {};
  return std::move(bytes_);
}

}  // namespace mervik
