# Installing and packaging. `cmake --install` puts the three programs in bin/
# and, off Windows, their manual pages in share/man/man1/; CPack makes a .deb
# and a .tar.gz of that on Linux, and on Windows a .zip of the executables and
# a short readme.
include(GNUInstallDirs)

if(WIN32)
  # The readme is read with Windows tools: CR LF line ends.
  configure_file(${PROJECT_SOURCE_DIR}/packaging/windows-readme.txt ${CMAKE_BINARY_DIR}/README.txt
                 @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_BINARY_DIR}/README.txt DESTINATION .)
  set(CPACK_GENERATOR ZIP)
else()
  # Manual pages are shipped compressed, as Debian's tools expect; -n keeps
  # the time stamp out, so the same page compresses to the same bytes.
  find_program(DAT_GZIP gzip REQUIRED)
  set(pages)
  foreach(page unbale.1 baleup.1 balelist.1)
    set(out ${CMAKE_BINARY_DIR}/man/${page})
    add_custom_command(OUTPUT ${out}.gz
      COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/man/${page} ${out}
      COMMAND ${DAT_GZIP} -9 -n -f ${out}
      DEPENDS ${PROJECT_SOURCE_DIR}/man/${page}
      VERBATIM)
    list(APPEND pages ${out}.gz)
  endforeach()
  add_custom_target(man_pages ALL DEPENDS ${pages})
  install(FILES ${pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  set(CPACK_GENERATOR DEB TGZ)
endif()

set(CPACK_PACKAGE_NAME dat-tools)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "unpack, pack and list DAT archives (unbale, baleup, balelist)")
set(CPACK_PACKAGE_CONTACT "dat_tools maintainers <maintainers@dat-tools.invalid>")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "unbale unpacks a DAT archive into a directory tree; baleup packs such a\ntree back into an archive; balelist lists an archive's members and checks\nthem without unpacking it.")
find_program(DAT_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(DAT_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)  # Depends: from the libraries the programs link
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
endif()

include(CPack)
