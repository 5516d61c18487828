# A program whose texture compressor module is missing: block compressing a
# texture fails with the reason (the module's path), and a compile, which
# never opens the module, works as ever.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/bin ${WORK}/textures ${WORK}/userdata)
file(COPY ${ROVANAUTIL} DESTINATION ${WORK}/bin)
file(COPY ${SAMPLES}/textures/brick.png ${SAMPLES}/textures/brick.texture.txt DESTINATION ${WORK}/textures)
file(WRITE ${WORK}/tiny.gs "class Tiny { public int Twice(int a) { return a * 2; } };\n")
set(run ${CMAKE_COMMAND} -E env ROVANA_ROOT=${SAMPLES}/install ROVANA_USERDATA=${WORK}/userdata
    ${WORK}/bin/rovanautil)

execute_process(COMMAND ${run} compresstexture ${WORK}/textures WORKING_DIRECTORY ${WORK}
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
if(status EQUAL 0 OR EXISTS ${WORK}/textures/brick.texture)
  message(FATAL_ERROR "compresstexture without its module succeeded (${status}):\n${out}${err}")
endif()
if(NOT "${out}${err}" MATCHES "texture compressor is not available.*rovana_nvtt.so")
  message(FATAL_ERROR "compresstexture without its module gave no reason:\n${out}${err}")
endif()

execute_process(COMMAND ${run} compile tiny.gs WORKING_DIRECTORY ${WORK}
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT EXISTS ${WORK}/tiny.gsl)
  message(FATAL_ERROR "compile without the texture module failed (${status}):\n${out}${err}")
endif()
file(REMOVE_RECURSE ${WORK})
