# ryx_decide_part(VAR WHAT PACKAGE DEBIAN_PACKAGE): whether to build an optional part that needs a CMake package.
# VAR holds AUTO, or a CMake boolean. Sets VAR_ENABLED in the caller: true when the part is to be built, with the
# package found. Asked for with ON and not found, the configure stops and names the Debian package to install.
function(ryx_decide_part var what package debian_package)
  set(value "${${var}}")
  if(value STREQUAL "" OR value STREQUAL "AUTO")
    set(required FALSE)
  elseif(value)
    set(required TRUE)
  else()
    set(${var}_ENABLED FALSE PARENT_SCOPE)
    return()
  endif()
  find_package(${package} QUIET)
  if(${package}_FOUND)
    set(${var}_ENABLED TRUE PARENT_SCOPE)
  elseif(required)
    message(FATAL_ERROR "${var}=ON, but ${package} is not found: install the Debian package ${debian_package} "
                        "(sudo apt-get install ${debian_package}), or configure with -D${var}=OFF")
  else()
    message(STATUS "${package} not found (Debian package ${debian_package}): ${what} are not built")
    set(${var}_ENABLED FALSE PARENT_SCOPE)
  endif()
endfunction()
