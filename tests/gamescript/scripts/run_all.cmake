# Runs every script that the suites run, in one test, each as its own test
# runs it: the corpus of tests/gamescript/scripts and tests/scriptlib/scripts
# against the output beside each script, the script library's game, the
# online games inside the loopback service, and the scripts of the sample
# assets, whose classes with an "Init(void)" are made and it run. So a change
# of the interpreter's limits that alters any script's result shows here in
# one place; every failure is listed.
#
# GSRUN, LOOPBACK: the programs. SCRIPTS: the compiled class libraries.
# PLUGINS: the test plug-in's folder. ROOT: the source tree. WORK: a scratch folder.
set(here ${ROOT}/tests/gamescript/scripts)
set(failed "")
set(count 0)

function(check_run label)
  execute_process(COMMAND ${CMAKE_COMMAND} ${ARGN} OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
  math(EXPR n "${count} + 1")
  set(count ${n} PARENT_SCOPE)
  if(NOT status EQUAL 0)
    set(failed "${failed}\n--- ${label}\n${out}${err}" PARENT_SCOPE)
  endif()
endfunction()

file(GLOB scripts ${here}/*.gs)
foreach(script ${scripts})
  get_filename_component(name ${script} NAME_WE)
  check_run(${name} -DGSRUN=${GSRUN} -DSCRIPT=${script} -DSCRIPTS=${SCRIPTS} -P ${here}/run.cmake)
endforeach()
file(GLOB scripts ${ROOT}/tests/scriptlib/scripts/*.gs)
foreach(script ${scripts})
  get_filename_component(name ${script} NAME_WE)
  check_run(scriptlib.${name} -DGSRUN=${GSRUN} -DSCRIPT=${script} -DINCLUDE=${SCRIPTS} -P ${here}/run.cmake)
endforeach()
check_run(scriptlib.library_game -DGSRUN=${GSRUN} -DSCRIPTS=${SCRIPTS} -DPLUGINS=${PLUGINS}
          -DWORK=${WORK}/library_game -P ${ROOT}/tests/scriptlib/game/run_game.cmake)
file(GLOB outputs ${ROOT}/tests/online/game/*.out)
foreach(output ${outputs})
  get_filename_component(name ${output} NAME_WE)
  check_run(online.${name} -DGSRUN=${GSRUN} -DLOOPBACK=${LOOPBACK} -DSCRIPTS=${SCRIPTS} -DGAME=${name}
            -DWORK=${WORK}/online/${name} -P ${ROOT}/tests/online/game/run_online_game.cmake)
endforeach()

# The sample assets' scripts: each class with an Init(void) runs it to its end.
file(GLOB_RECURSE samples ${ROOT}/samples/*.gs)
foreach(sample ${samples})
  get_filename_component(folder ${sample} DIRECTORY)
  get_filename_component(file ${sample} NAME)
  file(READ ${sample} text)
  string(REGEX MATCHALL "class[ \t\r\n]+[A-Za-z_][A-Za-z_0-9]*" classes "${text}")
  foreach(match ${classes})
    string(REGEX REPLACE "class[ \t\r\n]+" "" class "${match}")
    if(NOT text MATCHES "void[ \t]+Init[ \t]*\\([ \t]*void[ \t]*\\)")
      continue()
    endif()
    execute_process(COMMAND ${GSRUN} -i${SCRIPTS} ${file} ${class} Init WORKING_DIRECTORY ${folder}
                    OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
    math(EXPR count "${count} + 1")
    if(NOT status EQUAL 0 OR NOT out STREQUAL "=> void\n")
      set(failed "${failed}\n--- sample ${file} ${class}\n${out}${err}exit ${status}\n")
    endif()
  endforeach()
endforeach()

if(failed)
  message(FATAL_ERROR "scripts whose results changed:${failed}")
endif()
message(STATUS "${count} script runs gave their results")
