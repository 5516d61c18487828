# Runs library_game.gs through GSRUN as a game, over a copy (in WORK) of the
# sample user data and installation beside it, with the test plug-in of
# PLUGINS in the installation's "bin/plugins" and the compiled class
# libraries of SCRIPTS as the installation's folder "scripts", where asset
# scripts find their includes. The copy keeps what the run writes out of the sources.
get_filename_component(here ${CMAKE_CURRENT_LIST_FILE} DIRECTORY)
file(REMOVE_RECURSE ${WORK})
file(COPY ${here}/ DESTINATION ${WORK} PATTERN run_game.cmake EXCLUDE)
file(COPY ${PLUGINS}/echoplugin.so DESTINATION ${WORK}/install/bin/plugins)
file(COPY ${SCRIPTS}/ DESTINATION ${WORK}/install/scripts)
file(MAKE_DIRECTORY ${WORK}/userdata/cache ${WORK}/userdata/settings)
set(SCRIPT ${WORK}/library_game.gs)
set(EXTRA -u${WORK}/userdata -r${WORK}/install)
include(${here}/../../gamescript/scripts/run.cmake)
