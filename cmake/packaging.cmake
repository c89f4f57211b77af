# Where `cmake --install` puts each file, and the packages CPack makes of them: a .deb and a
# .tar.gz on Linux, a .zip on Windows.
include(GNUInstallDirs)

if(WIN32)
  # One folder holds both programs: the front end puts it first on PATH, and zelk's list lives
  # beside zelk.exe.
  install(TARGETS zelk deltree RUNTIME DESTINATION .)
  install(FILES LICENSE docs/integration.md DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME windows-x86_64)
else()
  # deltree is a command for everyone; zelk gets a folder of its own, since its list lives
  # beside it.
  install(TARGETS deltree RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(TARGETS zelk RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/zelk)
  install(FILES README.md CHANGELOG.md LICENSE docs/integration.md packaging/debian/copyright
          DESTINATION ${CMAKE_INSTALL_DOCDIR})

  # The man pages and the Debian changelog, filled with the version and compressed as Debian
  # wants them.
  set(packaging_dir ${CMAKE_BINARY_DIR}/packaging)
  set(compressed)
  foreach(source docs/zelk.1.in docs/deltree.1.in packaging/debian/changelog.in)
    get_filename_component(name ${source} NAME_WLE)
    if(name STREQUAL "changelog")
      set(name changelog.Debian)
    endif()
    configure_file(${source} ${packaging_dir}/${name} @ONLY)
    add_custom_command(OUTPUT ${packaging_dir}/${name}.gz
      COMMAND gzip -9nf -k ${packaging_dir}/${name}
      DEPENDS ${packaging_dir}/${name})
    list(APPEND compressed ${packaging_dir}/${name}.gz)
  endforeach()
  add_custom_target(zelk_docs ALL DEPENDS ${compressed})
  install(FILES ${packaging_dir}/zelk.1.gz ${packaging_dir}/deltree.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${packaging_dir}/changelog.Debian.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES packaging/debian/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
          RENAME zelk)
  set(CPACK_GENERATOR "DEB;TGZ")
endif()

set(CPACK_PACKAGE_NAME zelk)
set(CPACK_PACKAGE_VENDOR "the zelk authors")
set(CPACK_PACKAGE_CONTACT "The zelk authors <zelk@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "deletes the files and folder trees a front end lists")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The body of the description; the summary above is its first line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "zelk is the back end of a clean-up product: a front end writes a list of\n\
paths beside the zelk executable (/usr/libexec/zelk) and starts it; zelk\n\
deletes each path with deltree, checks that it is gone, reports the outcome\n\
and exits with a status that names the first failure.\n\
.\n\
deltree deletes files and folder trees without ever following a link or\n\
leaving its filesystem, and refuses the root and the current folder.")
# The generators' own settings: a .deb installs under /usr, the other packages are relocatable.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cpack_generators.cmake)

include(CPack)
