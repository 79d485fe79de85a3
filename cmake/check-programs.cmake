# cmake -P check-programs.cmake PROGRAM...: fails, naming them, when programs are missing.
# ctest runs the end-to-end suites on what the last build made and does not build them itself.
set(missing "")
math(EXPR last "${CMAKE_ARGC} - 1")
# Arguments before the script's own are cmake's: "cmake -P script".
foreach(i RANGE 3 ${last})
  if(NOT EXISTS "${CMAKE_ARGV${i}}")
    list(APPEND missing "${CMAKE_ARGV${i}}")
  endif()
endforeach()
if(missing)
  list(JOIN missing "\n  " missing)
  message(FATAL_ERROR "Not built yet (run cmake --build first):\n  ${missing}")
endif()
