# The source files of each layer, in one place: the top-level build and the Windows test program
# (tests/windows) take their lists from here. Paths are absolute, so either can use them.
set(mervik_src ${CMAKE_CURRENT_LIST_DIR}/../src)
cmake_path(NORMAL_PATH mervik_src)

# Operating-system operations: no interpreter headers. Windows replaces the POSIX half.
set(mervik_platform_sources ${mervik_src}/platform/io_error.cpp
                            ${mervik_src}/platform/memory.cpp
                            ${mervik_src}/platform/stdout_ops.cpp
                            ${mervik_src}/platform/windows_error_table.cpp)
if(WIN32)
  list(APPEND mervik_platform_sources ${mervik_src}/platform/os_error_windows.cpp
                                      ${mervik_src}/platform/stdout_windows.cpp)
else()
  list(APPEND mervik_platform_sources ${mervik_src}/platform/os_error_posix.cpp
                                      ${mervik_src}/platform/stdout_posix.cpp)
endif()

# Binding runtime: errors, conversions, argument binding, the call guard.
set(mervik_binding_sources
  ${mervik_src}/binding/attachment.cpp
  ${mervik_src}/binding/call_guard.cpp
  ${mervik_src}/binding/call_signature.cpp
  ${mervik_src}/binding/convert.cpp
  ${mervik_src}/binding/internal_failure.cpp
  ${mervik_src}/binding/py_err.cpp
  ${mervik_src}/binding/python_layout.cpp)

# Formatting engine: the object formatter and its sinks.
set(mervik_format_sources
  ${mervik_src}/format/float_repr.cpp
  ${mervik_src}/format/leaf_text.cpp
  ${mervik_src}/format/object_formatter.cpp
  ${mervik_src}/format/string_buffer.cpp)

# Output: the standard-output writer, which needs no interpreter (the Windows test program builds
# it alone), printing through it, and the escaped-bytes text.
set(mervik_writer_sources
  ${mervik_src}/output/console_write.cpp
  ${mervik_src}/output/stdout_writer.cpp)
set(mervik_output_sources ${mervik_writer_sources}
  ${mervik_src}/output/escaped_bytes.cpp
  ${mervik_src}/output/stdout_print.cpp)

# The extension module: the module object and the Pretty class.
set(mervik_module_sources ${mervik_src}/module/module.cpp ${mervik_src}/module/pretty.cpp)
