# The compiler's limits, met as a user meets them, in a fresh folder under
# FOLDER: ROVANAUTIL compiles, GSRUN compiles and runs.
# - A chain of 20,000 classes, each derived from the one before, is refused
#   at the first class past 256 ancestors, with no library written; a chain
#   of exactly 256 compiles and its deepest class calls what the root defines.
# - A function of 1,019 locals, whose frame would not fit a script stack, is
#   refused by name where it is compiled (no library the loader would
#   refuse); one of 1,000 locals runs.
# - Code generation that fails logs its closing line.
# - A library the loader refuses is named in the load's log line.
# - gsrun names a class that is not there as a missing class.
file(REMOVE_RECURSE ${FOLDER})
file(MAKE_DIRECTORY ${FOLDER})
# The build's installation and user data, whatever the caller's environment names.
set(compile ${CMAKE_COMMAND} -E env --unset=ROVANA_ROOT --unset=ROVANA_USERDATA ${ROVANAUTIL} compile)

function(run name want_status want_out)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY ${FOLDER}
                  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
  if(NOT status EQUAL want_status OR NOT out MATCHES "${want_out}")
    message(FATAL_ERROR "${name}: ${ARGN} exited ${status} and printed:\n${out}${err}\n"
                        "expected ${want_status} and:\n${want_out}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

# A chain of `count` classes C1..C<count> below C0, and a Test whose Main
# calls C0's function through the deepest class.
function(write_chain file count)
  set(text "class C0 { public int v = 5; public int Get(void) { return v; } };\n")
  math(EXPR last "${count}")
  foreach(i RANGE 1 ${last})
    math(EXPR before "${i} - 1")
    string(APPEND text "class C${i} isclass C${before} { };\n")
  endforeach()
  string(APPEND text "class Test { public int Main(void) { C${count} c = new C${count}(); return c.Get() + 1; } };\n")
  file(WRITE ${FOLDER}/${file} "${text}")
endfunction()

write_chain(deep.gs 20000)
run("20,000-deep chain" 255 "deep.gs\\(258\\) : Class C257 has more than 256 ancestor classes, line 258\\.\n"
    ${compile} deep.gs)
if(EXISTS ${FOLDER}/deep.gsl)
  message(FATAL_ERROR "20,000-deep chain: a library was written")
endif()
write_chain(limit.gs 256)
run("256-deep chain" 0 "^=> 6\n$" ${GSRUN} limit.gs Test Main)

# Locals 0..n-1 in one function of class Big; Main returns what it returns.
function(write_locals file count)
  set(text "class Big {\n  public int Huge(void) {\n")
  math(EXPR last "${count} - 1")
  foreach(i RANGE 0 ${last})
    string(APPEND text "    int v${i} = ${i};\n")
  endforeach()
  string(APPEND text "    return v${last};\n  }\n};\n"
         "class Test { public int Main(void) { Big b = new Big(); return b.Huge(); } };\n")
  file(WRITE ${FOLDER}/${file} "${text}")
endfunction()

write_locals(wide.gs 1019)
set(frame "wide.gs\\(2\\) : Big::Huge\\(\\) needs a frame of 1025 cells, more than the 1024 of a stack, line 2\\.\n")
run("1,019 locals compiled" 255 "${frame}" ${compile} wide.gs)
if(EXISTS ${FOLDER}/wide.gsl)
  message(FATAL_ERROR "1,019 locals: a library was written")
endif()
run("1,019 locals run" 255 "^${frame}\nInternal Code Generation Error...\n$" ${GSRUN} wide.gs Test Main)
write_locals(fits.gs 1000)
run("1,000 locals" 0 "^=> 999\n$" ${GSRUN} fits.gs Test Main)

# A switch with two equal cases: the source's error, then the closing line.
file(WRITE ${FOLDER}/cases.gs "class Test {\n  public int Main(void) {\n    switch (1) { case 2: case 2: break; default: break; }\n    return 0;\n  }\n};\n")
run("duplicate case" 255
    "^cases.gs\\(3\\) : case has duplicate value, line 3\n\nInternal Code Generation Error...\n$"
    ${GSRUN} cases.gs Test Main)

# A library one byte longer than its header says is refused under its name.
file(WRITE ${FOLDER}/named.gs "class Test { public int Main(void) { return 3; } };\n")
run("good library" 0 "" ${compile} named.gs)
file(APPEND ${FOLDER}/named.gsl "x")
run("refused library" 255 "GSMachine: Error -1 loading library named.gs \\(named.gsl\\)\n"
    ${GSRUN} named.gsl Test Main)

run("missing class" 255 "^gsrun: no class Nope in named.gsl\n$" ${GSRUN} named.gs Nope Main)
run("missing function" 255 "^gsrun: no function Nope\\(\\) in class Test\n$" ${GSRUN} named.gs Test Nope)
file(REMOVE_RECURSE ${FOLDER})
