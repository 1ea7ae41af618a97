# The layers, lowest first: each uses only the ones before it. Sources include headers as
# "layer/file.h"; instead of src/ itself, a layer's target sees an include root of its own in the
# build tree, with a forwarding header for each header of that layer and the layers below it and
# nothing for the layers above, so an include that points up does not compile. Forwarding headers
# (rather than links to the folders) behave the same with every compiler and file system.
set(mervik_layers platform binding format output module)
include(${CMAKE_CURRENT_LIST_DIR}/sources.cmake)

# Sets the include root of LAYER (made or brought up to date here) in the variable OUT.
function(mervik_include_root layer out)
  list(FIND mervik_layers ${layer} top)
  if(top LESS 0)
    message(FATAL_ERROR "${layer} is not a layer (${mervik_layers})")
  endif()
  set(root ${CMAKE_BINARY_DIR}/layers/${layer})
  set(made)
  foreach(index RANGE ${top})
    list(GET mervik_layers ${index} below)
    file(GLOB headers CONFIGURE_DEPENDS ${mervik_src}/${below}/*.h)
    foreach(header IN LISTS headers)
      cmake_path(GET header FILENAME name)
      set(forward ${root}/${below}/${name})
      set(content "#include \"${header}\"\n")
      set(current)
      if(EXISTS ${forward})
        file(READ ${forward} current)
      endif()
      if(NOT current STREQUAL content)
        file(WRITE ${forward} "${content}")
      endif()
      list(APPEND made ${forward})
    endforeach()
  endforeach()
  # Headers that moved or went away take their forwarding headers with them.
  file(GLOB_RECURSE stale ${root}/*.h)
  list(REMOVE_ITEM stale ${made})
  if(stale)
    file(REMOVE ${stale})
  endif()
  set(${out} ${root} PARENT_SCOPE)
endfunction()

# The static library mervik_LAYER from the sources given, with the project's warnings and the
# include root of LAYER.
function(mervik_add_layer layer)
  add_library(mervik_${layer} STATIC ${ARGN})
  target_link_libraries(mervik_${layer} PRIVATE mervik_warnings)
  mervik_layer_target(mervik_${layer} ${layer})
endfunction()

# Gives TARGET, whose sources belong to LAYER, the include root of LAYER.
function(mervik_layer_target target layer)
  mervik_include_root(${layer} root)
  target_include_directories(${target} PRIVATE ${root})
endfunction()

# Proves the scheme with the compiler: from each layer's include root a header of its own is found
# and a header of the layer above is not (a layer without headers has nothing to probe).
function(mervik_check_layering)
  list(LENGTH mervik_layers count)
  math(EXPR last "${count} - 2")
  foreach(index RANGE ${last})
    math(EXPR above_index "${index} + 1")
    list(GET mervik_layers ${index} layer)
    list(GET mervik_layers ${above_index} above)
    file(GLOB own ${mervik_src}/${layer}/*.h)
    file(GLOB upward ${mervik_src}/${above}/*.h)
    if(NOT own OR NOT upward)
      continue()
    endif()
    list(GET own 0 own)
    list(GET upward 0 upward)
    cmake_path(RELATIVE_PATH own BASE_DIRECTORY ${mervik_src})
    cmake_path(RELATIVE_PATH upward BASE_DIRECTORY ${mervik_src})
    mervik_include_root(${layer} root)
    string(CONCAT source
      "#if !__has_include(\"${own}\") || __has_include(\"${upward}\")\n#error\n#endif\n"
      "int main() { return 0; }\n")
    try_compile(sees_only_below SOURCE_FROM_CONTENT upward.cpp "${source}"
      CMAKE_FLAGS "-DINCLUDE_DIRECTORIES=${root}"
      NO_CACHE)
    if(NOT sees_only_below)
      message(FATAL_ERROR "the include root of ${layer} does not show ${own} or shows ${upward}")
    endif()
  endforeach()
endfunction()
