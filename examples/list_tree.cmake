# Prints every file below ROOT/BELOW with its size, one a line.
file(GLOB_RECURSE files RELATIVE ${ROOT} ${ROOT}/${BELOW}/*)
list(SORT files)
message("Unpacked into ${ROOT}:")
foreach(f IN LISTS files)
  file(SIZE ${ROOT}/${f} size)
  message("  ${f}  (${size} bytes)")
endforeach()
