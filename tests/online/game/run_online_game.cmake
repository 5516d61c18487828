# Runs the game script GAME of this folder through GSRUN inside the loopback
# service (LOOPBACK, posts echoed back), over a copy (in WORK) of the user data
# here, with the compiled class libraries of SCRIPTS as the folder "scripts",
# where the library asset's script finds its includes. The copy keeps what
# the run writes (local data, caches) out of the sources.
get_filename_component(here ${CMAKE_CURRENT_LIST_FILE} DIRECTORY)
file(REMOVE_RECURSE ${WORK})
file(GLOB sources ${here}/*.gs)
file(COPY ${here}/userdata ${sources} ${here}/${GAME}.out DESTINATION ${WORK})
file(COPY ${SCRIPTS}/ DESTINATION ${WORK}/scripts)
set(SCRIPT ${WORK}/${GAME}.gs)
set(EXTRA -u${WORK}/userdata -o127.0.0.1:@PORT@)
set(GSRUN ${LOOPBACK} --echo-posts=11 --echo-group-posts -- ${GSRUN})
include(${here}/../../gamescript/scripts/run.cmake)
