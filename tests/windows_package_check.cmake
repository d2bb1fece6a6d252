# Builds the Windows .zip from a build and checks what it holds: both
# programs and the readme. Each program, as packaged and as built, has no
# debug sections, its manifest (UTF-8 code page, long paths) and a version
# resource (product name, description, the project's version), and runs.
# Run by CTest with -DBUILD=<build dir> -DCPACK=<cpack> -DWORK=<dir>
# -DOBJDUMP=<objdump> -DOBJCOPY=<objcopy> -DEMULATOR=<runner> -DVERSION=<x.y.z>
# -DBUILT=<the built programs, a list>.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/root)

execute_process(COMMAND ${CPACK} -G ZIP --config ${BUILD}/CPackConfig.cmake -B ${WORK}
                RESULT_VARIABLE status OUTPUT_VARIABLE log ERROR_VARIABLE log)
file(GLOB zips ${WORK}/*.zip)
list(LENGTH zips count)
if(NOT status EQUAL 0 OR NOT count EQUAL 1)
  message(FATAL_ERROR "cpack made ${count} .zip files (status ${status}):\n${log}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${zips} WORKING_DIRECTORY ${WORK}/root COMMAND_ERROR_IS_FATAL ANY)

# A text as it stands in a version resource: UTF-16LE, as hex digits.
function(utf16_hex text out)
  string(HEX "${text}" hex)
  string(REGEX REPLACE "(..)" "\\100" hex "${hex}")
  set(${out} ${hex} PARENT_SCOPE)
endfunction()

file(GLOB readme ${WORK}/root/*/README.txt)
if(NOT EXISTS "${readme}")
  message(FATAL_ERROR "README.txt is missing from the package")
endif()
set(programs ${BUILT})
foreach(program unbale baleup balelist)
  file(GLOB exe ${WORK}/root/*/bin/${program}.exe)
  if(NOT EXISTS "${exe}")
    message(FATAL_ERROR "bin/${program}.exe is missing from the package")
  endif()
  list(APPEND programs ${exe})
endforeach()

foreach(exe IN LISTS programs)

  execute_process(COMMAND ${OBJDUMP} -h ${exe} OUTPUT_VARIABLE sections COMMAND_ERROR_IS_FATAL ANY)
  if(sections MATCHES "\\.debug" OR NOT sections MATCHES "\\.rsrc")
    message(FATAL_ERROR "${exe} has debug sections or no resources:\n${sections}")
  endif()

  execute_process(COMMAND ${OBJCOPY} -O binary --only-section=.rsrc ${exe} ${WORK}/resources
                  COMMAND_ERROR_IS_FATAL ANY)
  file(READ ${WORK}/resources resources HEX)
  foreach(text "ProductName" "dat-tools" "FileDescription" "ProductVersion" "FileVersion" "${VERSION}")
    utf16_hex("${text}" wanted)
    string(FIND "${resources}" "${wanted}" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "${exe}: the version resource lacks \"${text}\"")
    endif()
  endforeach()
  file(STRINGS ${WORK}/resources manifest REGEX "<(activeCodePage|longPathAware) ")
  if(NOT manifest MATCHES "<activeCodePage[^>]*>UTF-8</activeCodePage>" OR
     NOT manifest MATCHES "<longPathAware[^>]*>true</longPathAware>")
    message(FATAL_ERROR "${exe}: the manifest does not make UTF-8 the code page and allow long paths")
  endif()

  execute_process(COMMAND ${EMULATOR} ${exe} RESULT_VARIABLE status OUTPUT_VARIABLE out)
  if(NOT status EQUAL 2 OR NOT out MATCHES "infile|outfile")
    message(FATAL_ERROR "${exe} gave status ${status}:\n${out}")
  endif()
endforeach()
