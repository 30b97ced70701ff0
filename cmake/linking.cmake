# How the shared objects are linked: what each exports, and the self-contained build of a wheel
# (VEDOV_PORTABLE), which carries libyaml inside the runtime and oneTBB's allocator beside it, so
# that it runs where neither is installed (auditwheel copies oneTBB itself in; scripts/wheel.sh).
#
# Included after the dependencies are found, it defines the target vedov_yaml (libyaml, shared or
# static) and vedov_python_module(target), for each of the two extension modules.

add_library(vedov_yaml INTERFACE)
if(VEDOV_PORTABLE)
  find_library(VEDOV_YAML_ARCHIVE NAMES libyaml.a HINTS ${YAML_LIBRARY_DIRS} REQUIRED)
  target_include_directories(vedov_yaml INTERFACE ${YAML_INCLUDE_DIRS})
  target_link_libraries(vedov_yaml INTERFACE ${VEDOV_YAML_ARCHIVE})
  if(NOT TARGET TBB::tbbmalloc)
    message(FATAL_ERROR "VEDOV_PORTABLE needs oneTBB's allocator, libtbbmalloc, beside libtbb")
  endif()
else()
  target_link_libraries(vedov_yaml INTERFACE PkgConfig::YAML)
endif()

# An extension module exports its PyInit_ function alone: the C++ library's templates it
# instantiates stay its own, so that no other library in the process binds to them.
set(VEDOV_MODULE_EXPORTS ${CMAKE_CURRENT_LIST_DIR}/module.map)
#
# auditwheel tells the C library a module was built for from the module's own dependencies, so
# each keeps every library it was linked with, libc included, which the linker would otherwise
# drop (--as-needed) where the module calls none of it.
function(vedov_python_module target)
  target_link_options(${target} PRIVATE "-Wl,--version-script=${VEDOV_MODULE_EXPORTS}"
                      -Wl,--no-as-needed)
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${VEDOV_MODULE_EXPORTS})
endfunction()
