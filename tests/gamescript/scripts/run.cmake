# Runs SCRIPT through GSRUN and compares what it prints, and its exit status,
# with the ".out" file beside the script (whose last line is "exit <status>").
# A script runs its class Test, function Main, unless its first line reads
# "// gsrun --game [<options>] <class> [<count>]": then it runs as game objects, with the
# folder of the compiled class libraries (SCRIPTS) as its include folder.
# INCLUDE, when set, is an include folder of the plain run; EXTRA, options
# of a game run placed before the script's name; WORK, a folder whose path
# the output shows as "<work>".
get_filename_component(folder ${SCRIPT} DIRECTORY)
get_filename_component(name ${SCRIPT} NAME_WE)
file(STRINGS ${SCRIPT} first LIMIT_COUNT 1)
set(arguments ${name}.gs Test Main)
if(INCLUDE)
  set(arguments -i${INCLUDE} ${arguments})
endif()
if(first MATCHES "^// gsrun --game (.*)$")
  separate_arguments(rest UNIX_COMMAND "${CMAKE_MATCH_1}")
  set(arguments --game -i${SCRIPTS} ${EXTRA} ${name}.gs ${rest})
endif()
# The run takes the installation and user data its options and the build give,
# whatever the caller's environment names.
execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=ROVANA_ROOT --unset=ROVANA_USERDATA ${GSRUN} ${arguments}
                WORKING_DIRECTORY ${folder}
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
set(got "${out}exit ${status}\n")
if(WORK)
  string(REPLACE "${WORK}" "<work>" got "${got}")
endif()
file(READ ${folder}/${name}.out want)
if(NOT got STREQUAL want)
  message(FATAL_ERROR "gsrun ${arguments} printed:\n${got}${err}\nexpected:\n${want}")
endif()
