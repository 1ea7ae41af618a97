#include "platform/io_error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <set>
#include <string_view>

#include "platform/os_error.h"

namespace mervik::platform {
namespace {

TEST(IoError, display_text_of_each_form) {
  EXPECT_EQ(IoError::from_kind(IoErrorKind::kWriteZero).display_text(), "write zero");
  EXPECT_EQ(IoError::fixed(IoErrorKind::kWriteZero, "failed to write whole buffer").display_text(),
            "failed to write whole buffer");
  EXPECT_EQ(IoError::from_os(EPIPE).display_text(), "Broken pipe (os error 32)");
  EXPECT_EQ(IoError::from_os(ENOSPC).display_text(), "No space left on device (os error 28)");
}

TEST(IoError, every_kind_has_a_description_of_its_own) {
  EXPECT_EQ(kind_description(IoErrorKind::kNotFound), "entity not found");
  EXPECT_EQ(kind_description(IoErrorKind::kFilesystemLoop),
            "filesystem loop or indirection limit (e.g. symlink loop)");
  EXPECT_EQ(kind_description(IoErrorKind::kInterrupted), "operation interrupted");
  EXPECT_EQ(kind_description(IoErrorKind::kUncategorized), "uncategorized error");
  std::set<std::string_view> seen;
  for (int k = 0; k < kIoErrorKindCount; ++k) {
    const std::string_view description = kind_description(static_cast<IoErrorKind>(k));
    EXPECT_FALSE(description.empty()) << k;
    EXPECT_TRUE(seen.insert(description).second) << k << " shares \"" << description << '"';
  }
}

}  // namespace
}  // namespace mervik::platform
