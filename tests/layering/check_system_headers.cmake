# Fails when a product folder (or bench/) other than os/ includes a POSIX or Windows
# header:
#   cmake -DSOURCE_DIR=<checkout> -P check_system_headers.cmake
# os/ is the one place that speaks to the operating system, each service in
# a POSIX and a Windows form side by side; everything else stays portable.
cmake_minimum_required(VERSION 3.25)
set(folders protocol vlink data link sim views app cli bench)
# unistd.h, poll.h, fcntl.h, signal.h/csignal, io.h, windows.h and any
# sys/... header, with or without a folder of the system's in front.
set(system_header "^[ \t]*#[ \t]*include[ \t]*<(unistd|poll|fcntl|signal|io|windows)\\.h>|^[ \t]*#[ \t]*include[ \t]*<csignal>|^[ \t]*#[ \t]*include[ \t]*<sys/")

set(failures "")
foreach(folder ${folders})
  file(GLOB_RECURSE sources ${SOURCE_DIR}/${folder}/*.h ${SOURCE_DIR}/${folder}/*.cpp)
  foreach(source ${sources})
    file(STRINGS ${source} includes REGEX "${system_header}")
    foreach(line ${includes})
      file(RELATIVE_PATH where ${SOURCE_DIR} ${source})
      string(STRIP "${line}" line)
      list(APPEND failures "${where}: ${line}")
    endforeach()
  endforeach()
endforeach()
if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "System headers outside os/ (put the call behind os/):\n  ${text}")
endif()
