# The round trip a user makes: list the example archive, unpack it, pack the
# tree again, and check that the new archive lists as intact, unpacks to the
# same files and packs to the same bytes. Run by the `demo` target with
# BALELIST, UNBALE, BALEUP, EXAMPLE and DIR set; each program's exit status 0
# is required (balelist's says the archive is intact).
function(run program)
  execute_process(COMMAND ${program} GAME.DAT WORKING_DIRECTORY ${ARGN} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${program} exited with ${status}")
  endif()
endfunction()

function(expect_same a b)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${a} ${b} RESULT_VARIABLE differ)
  if(differ)
    message(FATAL_ERROR "${a} and ${b} differ")
  endif()
endfunction()

file(REMOVE_RECURSE ${DIR})
file(MAKE_DIRECTORY ${DIR}/again)
file(COPY_FILE ${EXAMPLE} ${DIR}/GAME.DAT)

message("== balelist GAME.DAT")
run(${BALELIST} ${DIR})

message("== unbale GAME.DAT")
run(${UNBALE} ${DIR})
file(GLOB_RECURSE members RELATIVE ${DIR} ${DIR}/GAME/*)
list(SORT members)
foreach(m IN LISTS members)
  file(SIZE ${DIR}/${m} size)
  message("  ${m}  (${size} bytes)")
endforeach()

message("== baleup GAME.DAT")
run(${BALEUP} ${DIR})
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${DIR}/GAME.DAT ${EXAMPLE} RESULT_VARIABLE differ)
if(differ)
  message("  (the members in this file system's listing order, not the example's)")
else()
  message("  (byte for byte the example archive)")
endif()

message("== balelist GAME.DAT, as packed")
run(${BALELIST} ${DIR})

message("== unbale and baleup again, in ${DIR}/again")
file(COPY_FILE ${DIR}/GAME.DAT ${DIR}/again/GAME.DAT)
run(${UNBALE} ${DIR}/again)
foreach(m IN LISTS members)
  expect_same(${DIR}/${m} ${DIR}/again/${m})
endforeach()
run(${BALEUP} ${DIR}/again)
expect_same(${DIR}/GAME.DAT ${DIR}/again/GAME.DAT)
message("Round trip: the same files unpacked, the same bytes packed. The tree is in ${DIR}/GAME.")
