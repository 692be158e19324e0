# What `cmake --install` puts where, and the Windows release archive CPack
# makes of it: a .zip with VELTA.exe, the README and the licence. The Linux
# archives (a .tar.gz and a Debian package) are made from the same install
# tree by scripts/package_linux.sh; `make dist` makes them all.
include(GNUInstallDirs)

if(WIN32)
  # The zip holds the executable, the README and the licence at its top.
  install(TARGETS velta RUNTIME DESTINATION .)
  install(FILES README.md LICENSE DESTINATION .)
else()
  install(TARGETS velta velta-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES man/velta.1 man/velta-sim.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  # bash-completion loads a completion by the name of the command it completes.
  foreach(command velta velta-sim)
    install(FILES completion/velta.bash
            DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME ${command})
  endforeach()
  install(FILES completion/_velta DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/site-functions)
  install(FILES README.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

if(WIN32)
  set(CPACK_PACKAGE_NAME velta)
  set(CPACK_PACKAGE_VENDOR "The VELTA project")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
  set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
  set(CPACK_PACKAGE_CHECKSUM SHA256)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME velta-${PROJECT_VERSION}-win64)
  include(CPack)
endif()
