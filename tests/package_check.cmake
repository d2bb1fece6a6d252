# Builds the .deb from an installed build and checks what it holds: the
# three programs, runnable, and their manual pages, which must render without a
# warning. Run by CTest with -DBUILD=<build dir> -DCPACK=<cpack> -DWORK=<dir>.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})

execute_process(COMMAND ${CPACK} -G DEB --config ${BUILD}/CPackConfig.cmake -B ${WORK}
                RESULT_VARIABLE status OUTPUT_VARIABLE log ERROR_VARIABLE log)
file(GLOB debs ${WORK}/*.deb)
list(LENGTH debs count)
if(NOT status EQUAL 0 OR NOT count EQUAL 1)
  message(FATAL_ERROR "cpack made ${count} .deb files (status ${status}):\n${log}")
endif()

execute_process(COMMAND dpkg-deb --contents ${debs} OUTPUT_VARIABLE contents COMMAND_ERROR_IS_FATAL ANY)
foreach(path ./usr/bin/unbale ./usr/bin/baleup ./usr/bin/balelist ./usr/share/man/man1/unbale.1.gz
             ./usr/share/man/man1/baleup.1.gz ./usr/share/man/man1/balelist.1.gz)
  string(FIND "${contents}" " ${path}\n" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${path} is missing from the package:\n${contents}")
  endif()
endforeach()
execute_process(COMMAND dpkg-deb --field ${debs} Package Depends Section OUTPUT_VARIABLE fields COMMAND_ERROR_IS_FATAL ANY)
if(NOT fields MATCHES "Package: dat-tools\n" OR NOT fields MATCHES "Depends: [^\n]*libc6")
  message(FATAL_ERROR "unexpected control fields:\n${fields}")
endif()

# What the package unpacks to runs and reads.
execute_process(COMMAND dpkg-deb -x ${debs} ${WORK}/root COMMAND_ERROR_IS_FATAL ANY)
foreach(program unbale baleup balelist)
  execute_process(COMMAND ${WORK}/root/usr/bin/${program} RESULT_VARIABLE status OUTPUT_VARIABLE out)
  if(NOT status EQUAL 2 OR NOT out MATCHES "usage|infile|outfile")
    message(FATAL_ERROR "${program} from the package gave status ${status}:\n${out}")
  endif()
  execute_process(COMMAND gzip -dc ${WORK}/root/usr/share/man/man1/${program}.1.gz
                  COMMAND groff -man -Tutf8 -ww
                  OUTPUT_VARIABLE page ERROR_VARIABLE warnings RESULT_VARIABLE status)
  string(TOUPPER ${program} title)
  if(NOT status EQUAL 0 OR NOT warnings STREQUAL "" OR NOT page MATCHES "${title}\\(1\\)")
    message(FATAL_ERROR "the manual page of ${program} does not render cleanly (status ${status}):\n${warnings}")
  endif()
endforeach()
