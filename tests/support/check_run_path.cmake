# Checks the run path of each program in PROGRAMS (a ;-list of paths): it
# must be exactly EXPECTED, with no empty entry (an empty entry makes the
# loader search the current directory for libraries).
#   cmake -DPROGRAMS="a;b" -DEXPECTED='$ORIGIN/../lib' -P check_run_path.cmake
find_program(READELF readelf REQUIRED)
foreach(program IN LISTS PROGRAMS)
  execute_process(COMMAND ${READELF} -d ${program}
                  OUTPUT_VARIABLE dynamic RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "readelf failed on ${program}")
  endif()
  string(REGEX MATCH "Library (runpath|rpath): \\[([^]]*)\\]" found "${dynamic}")
  set(path "${CMAKE_MATCH_2}")
  if(NOT path STREQUAL EXPECTED)
    message(FATAL_ERROR "${program}: run path [${path}], want [${EXPECTED}]")
  endif()
  message(STATUS "${program}: run path [${path}]")
endforeach()
