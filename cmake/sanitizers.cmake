# Sanitizer and fuzzing instrumentation of every target, chosen by VEDOV_SANITIZE and VEDOV_FUZZ.

if(VEDOV_SANITIZE)
  if(NOT VEDOV_SANITIZE MATCHES "^(address|undefined|address,undefined|undefined,address|thread)$")
    message(FATAL_ERROR "VEDOV_SANITIZE must be address,undefined or thread, not ${VEDOV_SANITIZE}")
  endif()
  # Any report stops the program: a sanitized run passes only without reports. Frame pointers
  # and line tables keep the reports' stacks readable at a modest cost.
  add_compile_options(-fsanitize=${VEDOV_SANITIZE} -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${VEDOV_SANITIZE})
  if(VEDOV_SANITIZE STREQUAL "thread")
    # TBB's headers then tell threading tools about their hand-offs (tests/sanitizers).
    add_compile_definitions(TBB_USE_PROFILING_TOOLS=2)
  endif()
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    add_compile_options(-gline-tables-only)
  else()
    add_compile_options(-g1)
  endif()
endif()

if(VEDOV_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "VEDOV_FUZZ needs clang (libFuzzer); configure with CMAKE_CXX_COMPILER=clang++")
  endif()
  # Coverage feedback for everything the fuzzer reaches; the fuzzer target links libFuzzer itself.
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# Where the module is loaded into an uninstrumented interpreter, the address sanitizer's runtime
# comes from a shared library that is preloaded (clang links it statically by default).
function(vedov_sanitized_module target)
  if(VEDOV_SANITIZE MATCHES "address" AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    target_link_options(${target} PRIVATE -shared-libasan)
  endif()
endfunction()
