# Makes the installation a build's programs use (INSTALL): the files of the
# sample installation (SAMPLES) and the class libraries with their sources
# (SCRIPTS) under "scripts". Every folder copied is first removed, so a file
# gone from its source is gone from the copy too; what else the installation
# holds (the user data a run laid out in it) stays. FILES, a digest of the
# source files' names, only makes the build run this again when they change.
file(GLOB entries RELATIVE ${SAMPLES} ${SAMPLES}/*)
foreach(entry ${entries} scripts)
  file(REMOVE_RECURSE ${INSTALL}/${entry})
endforeach()
file(MAKE_DIRECTORY ${INSTALL}/scripts)
foreach(entry ${entries})
  file(COPY ${SAMPLES}/${entry} DESTINATION ${INSTALL})
endforeach()
file(GLOB scripts ${SCRIPTS}/*.gs ${SCRIPTS}/*.gsl)
file(COPY ${scripts} DESTINATION ${INSTALL}/scripts)
