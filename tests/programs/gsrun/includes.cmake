# gsrun on a source that includes another, in a fresh folder under FOLDER:
# the included source has no library yet, then a stale one (its source
# changed), then a source that does not compile, and its library was left as
# it was; an include's include edited.
file(REMOVE_RECURSE ${FOLDER})
file(MAKE_DIRECTORY ${FOLDER})
file(WRITE ${FOLDER}/main.gs "include \"lib.gs\"\nclass Test {\n  public int Main(void) { Lib l = new Lib(); return l.Value() + 1; }\n};\n")

set(SOURCE main.gs)
function(expect step want_status want_out)
  execute_process(COMMAND ${GSRUN} ${SOURCE} Test Main WORKING_DIRECTORY ${FOLDER}
                  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
  if(NOT status EQUAL want_status OR NOT out MATCHES "${want_out}")
    message(FATAL_ERROR "${step}: gsrun exited ${status} and printed:\n${out}${err}\nexpected ${want_status} and:\n${want_out}")
  endif()
endfunction()

# No library yet: compiled beside the source, then used.
file(WRITE ${FOLDER}/lib.gs "class Lib {\n  public int Value(void) { return 41; }\n};\n")
expect("no library" 0 "^=> 42\n$")
if(NOT EXISTS ${FOLDER}/lib.gsl)
  message(FATAL_ERROR "no library: lib.gsl was not written beside lib.gs")
endif()
file(READ ${FOLDER}/lib.gsl first HEX)

# A current library is used as it is.
expect("current library" 0 "^=> 42\n$")
file(READ ${FOLDER}/lib.gsl again HEX)
if(NOT first STREQUAL again)
  message(FATAL_ERROR "current library: lib.gsl was written again")
endif()

# The source changed within the same second: the library is stale by its id.
file(WRITE ${FOLDER}/lib.gs "class Lib {\n  public int Value(void) { return 50; }\n};\n")
expect("stale library" 0 "^=> 51\n$")

# A library older than its source is made again.
execute_process(COMMAND touch -d "2001-01-01 00:00:00" ${FOLDER}/lib.gsl)
expect("older library" 0 "^=> 51\n$")
file(TIMESTAMP ${FOLDER}/lib.gsl stamp "%Y" UTC)
if(stamp STREQUAL "2001")
  message(FATAL_ERROR "older library: lib.gsl was not made again")
endif()
file(READ ${FOLDER}/lib.gsl before HEX)

# An included source whose body does not compile: its old library stays, and
# gsrun names the source it expected the library from.
file(WRITE ${FOLDER}/lib.gs "class Lib {\n  public int Value(void) { return nothing; }\n};\n")
expect("source with an error" 255
       "lib.gs\\(2\\) : variable nothing not declared.*gsrun: the included source lib.gs has no current library lib.gsl\n$")
file(READ ${FOLDER}/lib.gsl after HEX)
if(NOT after STREQUAL before)
  message(FATAL_ERROR "source with an error: the old lib.gsl was changed")
endif()
# An include's include edited, by a comment or for real: the library of the
# include that holds it is made again too.
set(SOURCE top.gs)
file(WRITE ${FOLDER}/top.gs "include \"mid.gs\"\nclass Test {\n  public int Main(void) { Mid m = new Mid(); return m.Value(); }\n};\n")
file(WRITE ${FOLDER}/mid.gs "include \"low.gs\"\nclass Mid {\n  public int Value(void) { Low l = new Low(); return l.Value() + 1; }\n};\n")
file(WRITE ${FOLDER}/low.gs "class Low {\n  public int Value(void) { return 70; }\n};\n")
expect("indirect include" 0 "^=> 71\n$")
file(APPEND ${FOLDER}/low.gs "// a comment\n")
expect("indirect include, a comment added" 0 "^=> 71\n$")
file(WRITE ${FOLDER}/low.gs "class Low {\n  public int Value(void) { return 80; }\n};\n")
expect("indirect include changed" 0 "^=> 81\n$")
set(SOURCE main.gs)
# Two sources that include each other: the source's own library is the one
# gsrun compiled, none is written beside it.
file(WRITE ${FOLDER}/lib.gs "include \"main.gs\"\nclass Lib {\n  public int Value(void) { return 60; }\n};\n")
expect("includes in a cycle" 0 "^=> 61\n$")
if(EXISTS ${FOLDER}/main.gsl)
  message(FATAL_ERROR "includes in a cycle: main.gsl was written beside main.gs")
endif()
# The class libraries beside gsrun named again through a link to their folder
# are the same files: entered once, with no report for the second spelling.
get_filename_component(bin ${GSRUN} DIRECTORY)
file(CREATE_LINK ${bin}/scripts ${FOLDER}/linked SYMBOLIC)
file(WRITE ${FOLDER}/linked.gs "include \"Constructors.gs\"\nclass Test {\n  public int Main(void) { Soup s = Constructors.NewSoup(); s.SetNamedTag(\"n\", 7); return s.GetNamedTagAsInt(\"n\"); }\n};\n")
execute_process(COMMAND ${GSRUN} -ilinked linked.gs Test Main WORKING_DIRECTORY ${FOLDER}
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT out STREQUAL "=> 7\n")
  message(FATAL_ERROR "linked library folder: gsrun exited ${status} and printed:\n${out}${err}")
endif()
# An include folder that is not there is refused, not run without it.
execute_process(COMMAND ${GSRUN} -i${FOLDER}/no/such/folder main.gs Test Main WORKING_DIRECTORY ${FOLDER}
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
if(NOT status EQUAL 255 OR NOT out MATCHES "gsrun: library folder '${FOLDER}/no/such/folder' does not exist\n$")
  message(FATAL_ERROR "missing include folder: gsrun exited ${status} and printed:\n${out}${err}")
endif()
file(REMOVE_RECURSE ${FOLDER})
