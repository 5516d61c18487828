# Runs SCRIPT's class Test, function Main, through GSRUN and compares what it
# prints, and its exit status, with the ".out" file beside the script (whose
# last line is "exit <status>").
get_filename_component(folder ${SCRIPT} DIRECTORY)
get_filename_component(name ${SCRIPT} NAME_WE)
execute_process(COMMAND ${GSRUN} ${name}.gs Test Main WORKING_DIRECTORY ${folder}
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
set(got "${out}exit ${status}\n")
file(READ ${folder}/${name}.out want)
if(NOT got STREQUAL want)
  message(FATAL_ERROR "gsrun ${name}.gs printed:\n${got}${err}\nexpected:\n${want}")
endif()
