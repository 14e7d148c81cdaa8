// Whether the build runs under a sanitizer (GCC's or Clang's: Clang names it only through
// __has_feature), for the few places that behave differently so that its checks see what
// they watch: buffers kept on the heap, a process that ends through exit.
#pragma once

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TUSAVE_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define TUSAVE_SANITIZED 1
#endif
#endif
#ifndef TUSAVE_SANITIZED
#define TUSAVE_SANITIZED 0
#endif

namespace tusave {
inline constexpr bool kSanitized = TUSAVE_SANITIZED != 0;
}  // namespace tusave
