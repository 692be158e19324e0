# What `cmake --install` puts where, and the release archives CPack makes of
# it: a .tar.gz and a Debian package on Linux, a .zip with VELTA.exe from the
# Windows build, each with a SHA-256 sum beside it (`make dist`).
include(GNUInstallDirs)

if(WIN32)
  # The zip holds the executable and the README at its top, nothing to unpack into a tree.
  install(TARGETS velta RUNTIME DESTINATION .)
  install(FILES README.md DESTINATION .)
else()
  install(TARGETS velta velta-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES man/velta.1 man/velta-sim.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  # bash-completion loads a completion by the name of the command it completes.
  foreach(command velta velta-sim)
    install(FILES completion/velta.bash
            DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME ${command})
  endforeach()
  install(FILES completion/_velta DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/site-functions)
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

set(CPACK_PACKAGE_NAME velta)
set(CPACK_PACKAGE_VENDOR "The VELTA project")
set(CPACK_PACKAGE_CONTACT "The VELTA project")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME velta-${PROJECT_VERSION}-win64)
else()
  set(CPACK_GENERATOR TGZ DEB)
  string(TOLOWER "${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}" platform)
  set(CPACK_PACKAGE_FILE_NAME velta-${PROJECT_VERSION}-${platform})
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The VELTA project")
  # dpkg-shlibdeps (dpkg-dev) works out the Depends line from the programs.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "VELTA sends a file to a device that loads programs into its memory, or\nreceives one from it, over an RS-232 port: a 16-byte header for binary\ntransfers, a 0x1A end byte for text. velta-sim stands in for the device\non a pseudo-terminal.")
endif()
include(CPack)
