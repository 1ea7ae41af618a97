# Cross-compiling for 64-bit Windows with Debian's mingw-w64 toolchain (posix thread model, so
# that std::thread and std::mutex work); programs run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(mingw_triple x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${mingw_triple}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${mingw_triple}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${mingw_triple}-windres)
find_program(CMAKE_CROSSCOMPILING_EMULATOR NAMES wine)

set(CMAKE_FIND_ROOT_PATH /usr/${mingw_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
