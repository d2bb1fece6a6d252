# dat_program_resources(<target> "<description>"): gives a Windows program its
# manifest (UTF-8 as the narrow code page, long paths) and a version resource
# (product name, the description, the project's version), and links a release
# build without the debug sections and symbols the runtimes bring. Elsewhere
# it does nothing. Called once for each program; the test binaries take it too, so
# that they run in the code page the programs run in.
if(WIN32)
  enable_language(RC)
endif()

function(dat_program_resources target description)
  if(NOT WIN32)
    return()
  endif()
  set(DAT_TARGET ${target})
  set(DAT_DESCRIPTION "${description}")
  set(DAT_MANIFEST ${PROJECT_SOURCE_DIR}/cmake/program.manifest)
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_resources.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/program.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
  target_link_options(${target} PRIVATE $<$<CONFIG:Release,MinSizeRel>:-s>)
  # windres doesn't report what the script includes: rebuild on a change of the manifest.
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${DAT_MANIFEST})
endfunction()

# dat_program(<name> <run library> "<description>"): one of the programs, built
# from its main.cpp around the library that holds its run, with its Windows
# resources, installed in bin/. The C++ runtime is linked in on Linux: no
# shared libstdc++ to map and relocate at start, which halves the program's
# memory, and nothing to install beside it.
function(dat_program name run description)
  add_executable(${name} main.cpp)
  target_link_libraries(${name} PRIVATE ${run} dat_warnings)
  dat_program_resources(${name} "${description}")
  install(TARGETS ${name} RUNTIME DESTINATION bin)
  if(CMAKE_SYSTEM_NAME STREQUAL "Linux" AND CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    target_link_options(${name} PRIVATE -static-libstdc++ -static-libgcc)
  endif()
endfunction()
