# Runs unpaid_game.gs through GSRUN (under /usr/bin/time, TIME) as a game over
# WORK: a user data of 2,000 generated scenery assets and the installation of
# tests/scriptlib/game. Compares what it prints with unpaid_game.out and
# checks that the process's peak stays within PEAK_MIB (the -m8 limit, the
# font cache's bound and the program's own; 0: not checked).
get_filename_component(here ${CMAKE_CURRENT_LIST_FILE} DIRECTORY)
file(REMOVE_RECURSE ${WORK})
file(COPY ${here}/../game/install DESTINATION ${WORK})
file(COPY ${SCRIPTS}/ DESTINATION ${WORK}/install/scripts)
file(COPY ${here}/unpaid_game.gs DESTINATION ${WORK})
file(MAKE_DIRECTORY ${WORK}/userdata/cache ${WORK}/userdata/settings)
foreach(i RANGE 1 2000)
  file(WRITE ${WORK}/userdata/local/a${i}/config.txt
       "kuid <kuid:900:${i}>\nkind scenery\nusername \"Shed ${i}\"\ncategory-class BS\n")
endforeach()
execute_process(COMMAND ${TIME} -f "peak %M KiB" -o ${WORK}/peak.txt
                        ${GSRUN} --game -i${SCRIPTS} -u${WORK}/userdata -r${WORK}/install -m8 unpaid_game.gs Worker
                WORKING_DIRECTORY ${WORK} OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
set(got "${out}exit ${status}\n")
string(REPLACE "${WORK}" "<work>" got "${got}")
file(READ ${here}/unpaid_game.out want)
if(NOT got STREQUAL want)
  message(FATAL_ERROR "gsrun printed:\n${got}${err}\nexpected:\n${want}")
endif()
if(NOT PEAK_MIB GREATER 0)
  return()
endif()
file(STRINGS ${WORK}/peak.txt peak REGEX "^peak ")
string(REGEX REPLACE "^peak ([0-9]+) KiB$" "\\1" kib "${peak}")
math(EXPR limit "${PEAK_MIB} * 1024")
if(kib GREATER limit)
  message(FATAL_ERROR "gsrun's peak was ${kib} KiB, more than ${PEAK_MIB} MiB")
endif()
