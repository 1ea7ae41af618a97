# Cross-compiling for 64-bit Windows with Debian's mingw-w64 toolchain for the UCRT, the C runtime
# of python.org's Windows builds (g++-mingw-w64-ucrt64, posix thread model, so that std::thread
# and std::mutex work); programs run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(mingw_triple x86_64-w64-mingw32ucrt)
find_program(CMAKE_C_COMPILER NAMES ${mingw_triple}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${mingw_triple}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${mingw_triple}-windres)
find_program(CMAKE_DLLTOOL NAMES ${mingw_triple}-dlltool REQUIRED)
find_program(CMAKE_CROSSCOMPILING_EMULATOR NAMES wine)

set(CMAKE_FIND_ROOT_PATH /usr/${mingw_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
