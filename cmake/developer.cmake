# The developer build (VEDOV_DEVELOPER): warnings are errors, and every C++ source must already be
# laid out as .clang-format says, checked by the clang-format version pinned in pyproject.toml.

if(NOT VEDOV_DEVELOPER)
  return()
endif()

list(APPEND VEDOV_CXX_FLAGS -Werror)

# Versions lay code out differently, so only the pinned one (the test extra's) gives the verdict.
file(READ ${PROJECT_SOURCE_DIR}/pyproject.toml pyproject)
if(NOT pyproject MATCHES "\"clang-format==([0-9.]+)\"")
  message(FATAL_ERROR "pyproject.toml pins no clang-format version in its test extra")
endif()
set(clang_format_version ${CMAKE_MATCH_1})
find_program(VEDOV_CLANG_FORMAT clang-format)
if(VEDOV_CLANG_FORMAT)
  execute_process(COMMAND ${VEDOV_CLANG_FORMAT} --version OUTPUT_VARIABLE found_version)
endif()
if(NOT found_version MATCHES "version ${clang_format_version}[^0-9]")
  message(FATAL_ERROR "VEDOV_DEVELOPER needs clang-format ${clang_format_version} (python3 -m pip "
                      "install clang-format==${clang_format_version}, or set VEDOV_CLANG_FORMAT); "
                      "found: ${VEDOV_CLANG_FORMAT} ${found_version}")
endif()

file(GLOB_RECURSE formatted_sources CONFIGURE_DEPENDS LIST_DIRECTORIES false
     RELATIVE ${PROJECT_SOURCE_DIR}
     ${PROJECT_SOURCE_DIR}/zam/*.cpp ${PROJECT_SOURCE_DIR}/zam/*.hpp ${PROJECT_SOURCE_DIR}/zam/*.inl
     ${PROJECT_SOURCE_DIR}/vedov/*.cpp ${PROJECT_SOURCE_DIR}/vedov/*.hpp
     ${PROJECT_SOURCE_DIR}/src/*.cpp ${PROJECT_SOURCE_DIR}/src/*.hpp
     ${PROJECT_SOURCE_DIR}/tests/*.cpp ${PROJECT_SOURCE_DIR}/tests/*.hpp
     ${PROJECT_SOURCE_DIR}/bench/*.cpp)
set(format_stamp ${CMAKE_BINARY_DIR}/clang-format.stamp)
add_custom_command(
  OUTPUT ${format_stamp}
  COMMAND ${VEDOV_CLANG_FORMAT} --dry-run --Werror ${formatted_sources}
  COMMAND ${CMAKE_COMMAND} -E touch ${format_stamp}
  DEPENDS ${formatted_sources} ${PROJECT_SOURCE_DIR}/.clang-format
  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
  COMMENT "Checking the layout of the C++ sources (clang-format ${clang_format_version})"
  VERBATIM)
add_custom_target(check_format ALL DEPENDS ${format_stamp})
