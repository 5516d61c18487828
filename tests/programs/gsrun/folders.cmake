# gsrun from a folder that holds no "scripts", with relative -u, -r and -i:
# a library asset of the user data compiles against the installation's
# script sources and World.GetLibrary finds it, StringTable falls back to the
# installation's interface texts, and the installation's copy of the class
# libraries named with -i gives no lines. WORK is a fresh folder; the
# installation there is made of the build's class libraries (SCRIPTS).
file(REMOVE_RECURSE ${WORK})
file(COPY ${SCRIPTS}/ DESTINATION ${WORK}/inst/scripts)
file(WRITE ${WORK}/inst/strings/texts.txt "$folders_text found in the installation\n")
file(MAKE_DIRECTORY ${WORK}/udr/cache ${WORK}/udr/settings)
file(WRITE ${WORK}/udr/local/lib/config.txt [=[
kuid <kuid:523:900>
kind library
username "Lib"
rovana-build 3.4
script "lib.gs"
class "Lib"
]=])
file(WRITE ${WORK}/udr/local/lib/lib.gs [=[
include "Rovana.gs"
class Lib isclass Library {
  public void Init(Asset self) {
    inherited(self);
    StringTable strings = self.GetStringTable();
    World.Log("text: " + strings.GetString("$folders_text"));
    World.Log("language: " + strings.GetLanguage());
  }
};
]=])
file(WRITE ${WORK}/visit.gs [=[
include "Rovana.gs"
include "Constructors.gs"
static class Test {
  public native void Print(string s);
};
class Visitor isclass GameObject {
  thread void Init(void) {
    Soup s = Constructors.NewSoup();
    s.SetNamedTag("k", "<kuid:523:900>");
    if (World.GetLibrary(s.GetNamedTagAsKUID("k"))) Test.Print("library found");
  }
};
]=])

foreach(prefix "" "./")
  file(REMOVE_RECURSE ${WORK}/udr/cache)
  set(line -i${prefix}inst/scripts -u${prefix}udr -r${prefix}inst)
  execute_process(COMMAND ${GSRUN} --game ${line} visit.gs Visitor WORKING_DIRECTORY ${WORK}
                  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
  set(all "${out}${err}")
  foreach(want "ScriptLog> text: found in the installation\n" "ScriptLog> language: $main_language\n"
               "library found\n" "=> steps 1\n")
    string(FIND "${all}" "${want}" at)
    if(at EQUAL -1 OR NOT status EQUAL 0)
      message(FATAL_ERROR "${line}: exit ${status}, expected \"${want}\" in:\n${all}")
    endif()
  endforeach()
  # The installation's copies of the class libraries are no news.
  if(all MATCHES "Could not add game script library|are known already")
    message(FATAL_ERROR "${line}: the class libraries given again were reported:\n${all}")
  endif()
endforeach()

# Two files of one library id in one folder: the second is reported by name.
file(WRITE ${WORK}/dup/one.gs "static class Test {\n  public int Main(void) { return 7; }\n};\n")
execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=ROVANA_ROOT --unset=ROVANA_USERDATA ${ROVANAUTIL} compile one.gs WORKING_DIRECTORY ${WORK}/dup OUTPUT_QUIET)
file(COPY_FILE ${WORK}/dup/one.gsl ${WORK}/dup/two.gsl)
execute_process(COMMAND ${GSRUN} dup/one.gsl Test Main WORKING_DIRECTORY ${WORK}
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
if(NOT "${out}${err}" STREQUAL "ScriptLog> Could not add game script library dup/two.gsl to GSMachine\n=> 7\n")
  message(FATAL_ERROR "one id twice in a folder gave exit ${status}:\n${out}${err}")
endif()
