# The interpreter for a cross build of the module for 64-bit Windows with mingw-w64, in the form
# FindPython would give it: the target Python::Module and a function that makes the .pyd.
#
#   MERVIK_WINDOWS_PYTHON          the version, for example 3.14
#   MERVIK_WINDOWS_PYTHON_HEADERS  its public headers (default /usr/include/python<version>,
#                                  Debian's libpython<version>-dev); their pyconfig.h, which
#                                  describes the build machine, is replaced by
#                                  cmake/windows/pyconfig.h.in
#
# The import library comes from cmake/windows/python<XY>.def, the interpreter functions and data
# the module uses; ./dev test checks the list against the Linux build's undefined symbols.
if(NOT MINGW)
  message(FATAL_ERROR "MERVIK_WINDOWS_PYTHON needs the mingw-w64 toolchain (cmake/mingw-w64.cmake)")
endif()
string(REPLACE "." "" MERVIK_WINDOWS_PYTHON_NODOT "${MERVIK_WINDOWS_PYTHON}")
set(MERVIK_WINDOWS_PYTHON_HEADERS /usr/include/python${MERVIK_WINDOWS_PYTHON}
    CACHE PATH "The interpreter's public headers")
if(NOT EXISTS ${MERVIK_WINDOWS_PYTHON_HEADERS}/Python.h)
  message(FATAL_ERROR "no Python.h in ${MERVIK_WINDOWS_PYTHON_HEADERS}")
endif()

# The headers with the Windows pyconfig.h. They are copied because Python.h includes
# "pyconfig.h" from its own directory first, whatever the include path says.
set(python_include ${CMAKE_BINARY_DIR}/python-include)
file(REMOVE_RECURSE ${python_include})
file(COPY ${MERVIK_WINDOWS_PYTHON_HEADERS}/ DESTINATION ${python_include}
     PATTERN pyconfig.h EXCLUDE)
configure_file(${CMAKE_CURRENT_LIST_DIR}/windows/pyconfig.h.in ${python_include}/pyconfig.h @ONLY)

set(python_def ${CMAKE_CURRENT_LIST_DIR}/windows/python${MERVIK_WINDOWS_PYTHON_NODOT}.def)
set(python_import_library ${CMAKE_BINARY_DIR}/libpython${MERVIK_WINDOWS_PYTHON_NODOT}.dll.a)
if(NOT CMAKE_DLLTOOL)
  message(FATAL_ERROR "no dlltool: the toolchain file sets CMAKE_DLLTOOL")
endif()
add_custom_command(
  OUTPUT ${python_import_library}
  COMMAND ${CMAKE_DLLTOOL} --input-def ${python_def}
          --dllname python${MERVIK_WINDOWS_PYTHON_NODOT}.dll --output-lib ${python_import_library}
  DEPENDS ${python_def}
  COMMENT "import library of python${MERVIK_WINDOWS_PYTHON_NODOT}.dll")
add_custom_target(mervik_python_import_library DEPENDS ${python_import_library})

add_library(Python::Module INTERFACE IMPORTED)
set_target_properties(Python::Module PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES ${python_include}
  INTERFACE_LINK_LIBRARIES ${python_import_library})

# The extension module NAME from the sources given: NAME.cp<XY>-win_amd64.pyd.
function(mervik_add_windows_module name)
  add_library(${name} MODULE ${ARGN})
  set_target_properties(${name} PROPERTIES
    PREFIX "" SUFFIX ".cp${MERVIK_WINDOWS_PYTHON_NODOT}-win_amd64.pyd")
  add_dependencies(${name} mervik_python_import_library)
endfunction()
