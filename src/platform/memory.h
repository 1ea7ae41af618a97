// Requests about memory the program already owns.
#pragma once

#include <cstddef>

namespace mervik::platform {

/// Asks the system to back the whole pages of [data, data + size) with memory now, in one
/// request, instead of one page fault at a time as the pages are first written: for memory that
/// is about to be filled. Contents stay as they are; a system without such a request, or one
/// that refuses it, leaves the pages to be faulted in as usual. errno is left unchanged.
void prepare_for_writing(void* data, std::size_t size) noexcept;

}  // namespace mervik::platform
