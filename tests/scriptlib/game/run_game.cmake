# Runs library_game.gs through GSRUN as a game, over a copy (in WORK) of the
# sample user data and installation beside it, with the test plug-in of
# PLUGINS in the installation's "bin/plugins" and the compiled class
# libraries of SCRIPTS as the installation's folder "scripts", where asset
# scripts find their includes. The copy keeps what the run writes out of the sources.
# GAME, when set, names another game script to run instead, whose folder
# (with its own user data) is copied over the installation of this one.
get_filename_component(here ${CMAKE_CURRENT_LIST_FILE} DIRECTORY)
if(NOT GAME)
  set(GAME ${here}/library_game.gs)
endif()
get_filename_component(folder ${GAME} DIRECTORY)
get_filename_component(game ${GAME} NAME)
file(REMOVE_RECURSE ${WORK})
file(COPY ${here}/install DESTINATION ${WORK})
file(COPY ${folder}/ DESTINATION ${WORK} PATTERN run_game.cmake EXCLUDE)
file(COPY ${PLUGINS}/echoplugin.so DESTINATION ${WORK}/install/bin/plugins)
file(COPY ${SCRIPTS}/ DESTINATION ${WORK}/install/scripts)
file(MAKE_DIRECTORY ${WORK}/userdata/cache ${WORK}/userdata/settings)
set(SCRIPT ${WORK}/${game})
set(EXTRA -u${WORK}/userdata -r${WORK}/install)
include(${here}/../../gamescript/scripts/run.cmake)
