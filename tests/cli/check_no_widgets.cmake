# Fails when the tool or the link library is built against Qt Widgets:
#   cmake -DNINJA=<ninja> -DBUILD_DIR=<dir> -DTOOL=<tarvolin-cli> -P check_no_widgets.cmake
# The build commands of both targets name every include directory and
# library they get, their dependencies' included; the tool's loaded
# libraries show what the linker kept.
foreach(target tarvolin-cli tarvolin_link)
  execute_process(COMMAND ${NINJA} -C ${BUILD_DIR} -t commands ${target}
                  OUTPUT_VARIABLE commands RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR commands STREQUAL "")
    message(FATAL_ERROR "cannot list the build commands of ${target}")
  endif()
  if(commands MATCHES "Qt6?Widgets")
    message(FATAL_ERROR "${target} is built against Qt Widgets")
  endif()
endforeach()
execute_process(COMMAND ldd ${TOOL} OUTPUT_VARIABLE libraries RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "ldd ${TOOL} failed")
endif()
if(libraries MATCHES "libQt6Widgets")
  message(FATAL_ERROR "tarvolin-cli loads Qt Widgets")
endif()
if(NOT libraries MATCHES "libQt6Core")
  message(FATAL_ERROR "ldd ${TOOL} did not list the tool's libraries")
endif()
