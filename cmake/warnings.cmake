# The project's warning set, in one place: the top-level build and tests/windows include it.
# MERVIK_WERROR turns warnings into errors through COMPILE_WARNING_AS_ERROR, for every target
# defined after the include (cmake --compile-no-warning-as-error overrides it).
option(MERVIK_WERROR "Treat warnings as errors" OFF)
set(CMAKE_COMPILE_WARNING_AS_ERROR ${MERVIK_WERROR})

add_library(mervik_warnings INTERFACE)
if(MSVC)
  # cl and clang-cl: strict conformance, UTF-8 sources and a truthful __cplusplus.
  target_compile_options(mervik_warnings INTERFACE /W4 /permissive- /utf-8 /Zc:__cplusplus)
  # Forced inlining is asked for speed only; a function the compiler declines to inline
  # (C4714, e.g. one on a recursive path) is no fault.
  target_compile_options(mervik_warnings INTERFACE /wd4714)
elseif(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  target_compile_options(mervik_warnings INTERFACE -Wall -Wextra -Wshadow -Wpedantic)
endif()
