# Run at install time: strips the installed module (or program) and keeps
# its debug information apart, linked by a .gnu_debuglink section.
#   FILE       the installed file
#   DEBUG_DIR  where its debug information goes (outside the install)
#   OBJCOPY, STRIP   the toolchain's tools
if(NOT OBJCOPY OR NOT STRIP OR NOT EXISTS "${FILE}")
  message(STATUS "Not stripped: ${FILE}")
  return()
endif()
get_filename_component(name "${FILE}" NAME)
file(MAKE_DIRECTORY "${DEBUG_DIR}")
set(debug "${DEBUG_DIR}/${name}.debug")
execute_process(COMMAND "${OBJCOPY}" --only-keep-debug "${FILE}" "${debug}" RESULT_VARIABLE rc1)
execute_process(COMMAND "${STRIP}" --strip-debug --strip-unneeded "${FILE}" RESULT_VARIABLE rc2)
execute_process(COMMAND "${OBJCOPY}" "--add-gnu-debuglink=${debug}" "${FILE}" RESULT_VARIABLE rc3)
if(rc1 OR rc2 OR rc3)
  message(FATAL_ERROR "stripping ${FILE} failed (${rc1} ${rc2} ${rc3})")
endif()
message(STATUS "Stripped: ${FILE} (debug information in ${debug})")
