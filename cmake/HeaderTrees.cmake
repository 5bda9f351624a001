# Header-only packages from the host, for native and cross builds alike.
# A cross build cannot use the host's package configs (they point the
# compiler at the host's /usr/include), so there the target gets a directory
# holding just the named header trees. Sets ${out_found} to FALSE when a
# tree is missing.
function(qelcomm_host_headers target out_found)
  set(${out_found} TRUE PARENT_SCOPE)
  if(TARGET ${target})
    return()
  endif()
  set(_dir ${CMAKE_BINARY_DIR}/third_party/${target})
  foreach(_tree ${ARGN})
    if(NOT EXISTS /usr/include/${_tree})
      message(STATUS "${target}: /usr/include/${_tree} not found")
      set(${out_found} FALSE PARENT_SCOPE)
      return()
    endif()
    file(MAKE_DIRECTORY ${_dir})
    if(NOT EXISTS ${_dir}/${_tree})
      file(CREATE_LINK /usr/include/${_tree} ${_dir}/${_tree} SYMBOLIC)
    endif()
  endforeach()
  add_library(${target} INTERFACE)
  target_include_directories(${target} SYSTEM INTERFACE ${_dir})
endfunction()
