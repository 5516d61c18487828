# gsrun refuses options it does not take, and an asset search without an
# installation says that none was given. Runs in a fresh folder WORK with a
# copy of the sample user data (USERDATA) and the build's installation
# (INSTALL, whose "scripts" serve as the include folder).
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
file(COPY ${USERDATA}/ DESTINATION ${WORK}/userdata)
file(WRITE ${WORK}/main.gs "class Test {\n  public int Main(void) { return 7; }\n};\n")
file(WRITE ${WORK}/search.gs [=[
include "Rovana.gs"
static class Test {
  public native void Print(string s);
};
class Finder isclass GameObject {
  public thread void Init(void) {
    Asset[] list = World.GetAssetList("scenery");
    Test.Print("found " + list.size());
  }
};
]=])

function(run step want_status)
  execute_process(COMMAND ${GSRUN} ${ARGN} WORKING_DIRECTORY ${WORK}
                  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
  if(NOT status EQUAL want_status)
    message(FATAL_ERROR "${step}: gsrun exited ${status}, expected ${want_status}; it printed:\n${out}${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
  set(err "${err}" PARENT_SCOPE)
endfunction()

function(expect_in step text what)
  string(FIND "${text}" "${what}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${step}: expected \"${what}\" in:\n${text}")
  endif()
endfunction()

# The plain run works, so the refusals below are the options' doing.
run("plain run" 0 main.gs Test Main)
expect_in("plain run" "${out}" "=> 7")

# Unknown options, before and after the source, and a known one without its
# value: refused with the option named, and nothing is run.
foreach(option -x --verbose -i -qfast)
  run("option ${option}" 255 ${option} main.gs Test Main)
  expect_in("option ${option}" "${err}" "unknown option '${option}'")
  expect_in("option ${option}" "${err}" "usage: gsrun")
  if(NOT out STREQUAL "")
    message(FATAL_ERROR "option ${option}: printed ${out} though refused")
  endif()
endforeach()
run("option after the source" 255 main.gs -x Test Main)
run("--game not first" 255 -i${INSTALL}/scripts --game search.gs Finder)
expect_in("--game not first" "${err}" "unknown option '--game'")

# Without -r the search finds nothing and says why.
run("no installation" 0 --game -i${INSTALL}/scripts -u${WORK}/userdata search.gs Finder)
expect_in("no installation" "${out}${err}" "no installation was given, so there is no table 'asset-types.txt'")
string(FIND "${out}${err}" "unable to read table ''" at)
if(NOT at EQUAL -1)
  message(FATAL_ERROR "no installation: an empty table path was named:\n${out}${err}")
endif()
# With it the same search finds the sample scenery.
run("installation" 0 --game -i${INSTALL}/scripts -u${WORK}/userdata -r${INSTALL} search.gs Finder)
string(FIND "${out}${err}" "no installation was given" at)
if(NOT at EQUAL -1)
  message(FATAL_ERROR "installation: still says none was given:\n${out}${err}")
endif()
if(NOT out MATCHES "found [1-9][0-9]*\n")
  message(FATAL_ERROR "installation: the search found no scenery:\n${out}${err}")
endif()

# Asked for, the usage goes to standard output and the exit status is 0.
run("help" 0 --help)
expect_in("help" "${out}" "usage: gsrun")

# A game the step limit stops says so and does not exit as one that ended.
file(WRITE ${WORK}/endless.gs [=[
include "gs.gs"
class Endless isclass GameObject {
  public thread void Init(void) { while (true) Sleep(1.0); }
};
]=])
run("step limit" 1 --game -i${INSTALL}/scripts endless.gs Endless)
expect_in("step limit" "${out}" "gsrun: stopped at the limit of 10000 steps with threads or messages left\n=> steps 10000\n")
