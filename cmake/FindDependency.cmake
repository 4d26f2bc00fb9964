# ptseg_find_dependency(VAR MODULE HEADER LIBRARY PACKAGE): finds a C
# library through pkg-config module MODULE, else by its HEADER and LIBRARY
# file, and sets VAR to a target that carries it; stops with the Debian
# PACKAGE to install when it is missing.
function(ptseg_find_dependency var module header library package)
  find_package(PkgConfig QUIET)
  string(TOUPPER ${library} name)
  if(PkgConfig_FOUND)
    pkg_check_modules(${name} QUIET IMPORTED_TARGET GLOBAL ${module})
  endif()
  if(TARGET PkgConfig::${name})
    set(${var} PkgConfig::${name} PARENT_SCOPE)
    return()
  endif()
  find_path(${name}_INCLUDE_DIR ${header})
  find_library(${name}_LIBRARY ${library})
  if(NOT ${name}_INCLUDE_DIR OR NOT ${name}_LIBRARY)
    message(FATAL_ERROR "${library} not found: install ${package} (apt-get install ${package})")
  endif()
  add_library(ptseg_${library} INTERFACE)
  target_include_directories(ptseg_${library} INTERFACE ${${name}_INCLUDE_DIR})
  target_link_libraries(ptseg_${library} INTERFACE ${${name}_LIBRARY})
  set(${var} ptseg_${library} PARENT_SCOPE)
endfunction()
