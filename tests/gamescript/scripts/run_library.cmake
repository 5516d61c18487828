# Compiles SCRIPT with ROVANAUTIL into WORK, then runs the library itself
# through GSRUN: the same output and exit status as for the source (the
# ".out" file beside the script). A truncated copy of the library is refused
# with the loader's reason and exit status 255.
get_filename_component(folder ${SCRIPT} DIRECTORY)
get_filename_component(name ${SCRIPT} NAME_WE)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
file(COPY ${SCRIPT} DESTINATION ${WORK})
execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=ROVANA_ROOT --unset=ROVANA_USERDATA ${ROVANAUTIL} compile ${name}.gs WORKING_DIRECTORY ${WORK}
                OUTPUT_QUIET RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT EXISTS ${WORK}/${name}.gsl)
  message(FATAL_ERROR "compile ${name}.gs failed: ${status}")
endif()
execute_process(COMMAND ${GSRUN} ${name}.gsl Test Main WORKING_DIRECTORY ${WORK}
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
set(got "${out}exit ${status}\n")
file(READ ${folder}/${name}.out want)
if(NOT got STREQUAL want)
  message(FATAL_ERROR "gsrun ${name}.gsl printed:\n${got}${err}\nexpected:\n${want}")
endif()
execute_process(COMMAND head -c 200 ${name}.gsl OUTPUT_FILE short.gsl WORKING_DIRECTORY ${WORK})
execute_process(COMMAND ${GSRUN} short.gsl Test Main WORKING_DIRECTORY ${WORK}
                OUTPUT_VARIABLE out RESULT_VARIABLE status)
if(NOT status EQUAL 255 OR NOT out MATCHES "malformed library" OR NOT out MATCHES "short.gsl did not load")
  message(FATAL_ERROR "a truncated library gave exit ${status}:\n${out}")
endif()
file(REMOVE_RECURSE ${WORK})
