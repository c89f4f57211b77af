# Where `cmake --install` puts each file, and the packages CPack makes of them: two .deb
# (deltree, and zelk which depends on it) and one .tar.gz on Linux, a .zip on Windows.
include(GNUInstallDirs)

# Who answers for the Debian packages, and where the project lives: a distributor sets its own.
set(ZELK_MAINTAINER "The zelk authors <zelk@example.org>" CACHE STRING
    "Maintainer of the Debian packages (name <address>)")
set(ZELK_HOMEPAGE "https://example.org/zelk" CACHE STRING "The project's home page")

if(WIN32)
  # One folder holds both programs: the front end puts it first on PATH, and zelk's list lives
  # beside zelk.exe.
  install(TARGETS zelk deltree RUNTIME DESTINATION .)
  install(FILES LICENSE docs/integration.md DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME windows-x86_64)
else()
  # deltree is a command for everyone; zelk gets a folder of its own, since its list lives
  # beside it. Each is a component, and a .deb of its own: deltree is useful without zelk.
  set(deltree_docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/deltree)
  set(zelk_docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/zelk)
  install(TARGETS deltree RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT deltree)
  install(TARGETS zelk RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/zelk COMPONENT zelk)
  # A stripped executable loses the compilers' names and versions too, as Debian strips it.
  foreach(exe ${CMAKE_INSTALL_BINDIR}/deltree ${CMAKE_INSTALL_LIBEXECDIR}/zelk/zelk)
    get_filename_component(component ${exe} NAME)
    install(CODE "if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
                              \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${exe}\"
                      COMMAND_ERROR_IS_FATAL ANY)
    endif()" COMPONENT ${component})
  endforeach()
  # The license is in copyright already; a second copy goes only into the archive.
  install(FILES LICENSE DESTINATION ${zelk_docdir} COMPONENT license)

  # Documents as Debian wants them: the man pages and the changelogs always compressed, any
  # other document once it is over 4 KB; the upstream changelog under the name Debian expects.
  set(packaging_dir ${CMAKE_BINARY_DIR}/packaging)
  set(compressed)
  # packaging/NAME.gz, made at build time from packaging/NAME.
  function(zelk_gzip name)
    add_custom_command(OUTPUT ${packaging_dir}/${name}.gz
      COMMAND gzip -9nf -k ${packaging_dir}/${name}
      DEPENDS ${packaging_dir}/${name})
    set(compressed ${compressed} ${packaging_dir}/${name}.gz PARENT_SCOPE)
  endfunction()
  function(zelk_doc source name destination component)
    if(source MATCHES "\\.in$")
      configure_file(${source} ${packaging_dir}/${name} @ONLY)
    else()
      configure_file(${source} ${packaging_dir}/${name} COPYONLY)
    endif()
    file(SIZE ${packaging_dir}/${name} size)
    if(size GREATER 4096 OR name MATCHES "^changelog|\\.1$")
      zelk_gzip(${name})
      set(compressed ${compressed} PARENT_SCOPE)
      set(name ${name}.gz)
    endif()
    install(FILES ${packaging_dir}/${name} DESTINATION ${destination} COMPONENT ${component})
  endfunction()
  zelk_doc(docs/deltree.1.in deltree.1 ${CMAKE_INSTALL_MANDIR}/man1 deltree)
  zelk_doc(docs/zelk.1.in zelk.1 ${CMAKE_INSTALL_MANDIR}/man1 zelk)
  zelk_doc(README.md README.md ${zelk_docdir} zelk)
  zelk_doc(CHANGELOG.md changelog ${zelk_docdir} zelk)
  zelk_doc(docs/integration.md integration.md ${zelk_docdir} zelk)

  # Both packages come from one source: the same copyright and Debian changelog in each.
  configure_file(packaging/debian/copyright.in ${packaging_dir}/copyright @ONLY)
  configure_file(packaging/debian/changelog.in ${packaging_dir}/changelog.Debian @ONLY)
  zelk_gzip(changelog.Debian)
  add_custom_target(zelk_docs ALL DEPENDS ${compressed})
  foreach(package deltree zelk)
    install(FILES ${packaging_dir}/copyright ${packaging_dir}/changelog.Debian.gz
            DESTINATION ${${package}_docdir} COMPONENT ${package})
    install(FILES packaging/debian/${package}.lintian-overrides
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME ${package}
            COMPONENT ${package})
  endforeach()
  set(CPACK_GENERATOR "DEB;TGZ")
endif()

set(CPACK_PACKAGE_NAME zelk)
set(CPACK_PACKAGE_VENDOR "the zelk authors")
set(CPACK_PACKAGE_CONTACT "${ZELK_MAINTAINER}")
set(CPACK_PACKAGE_HOMEPAGE_URL "${ZELK_HOMEPAGE}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "deletes the files and folder trees a front end lists")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The .deb packages, one per component (cpack_generators.cmake turns that on for DEB only: the
# archives stay whole). zelk needs exactly the deltree it was released with.
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_DELTREE_PACKAGE_NAME deltree)
set(CPACK_DEBIAN_ZELK_PACKAGE_NAME zelk)
set(CPACK_DEBIAN_ZELK_PACKAGE_DEPENDS
    "deltree (= ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})")
# On purge, zelk's folder goes with whatever a front end left in it (a list, or one being
# written under a temporary name): it is zelk's own folder, and all in it was meant for zelk.
if(NOT WIN32)
  configure_file(packaging/debian/zelk.postrm ${CMAKE_BINARY_DIR}/packaging/zelk/postrm COPYONLY)
  set(CPACK_DEBIAN_ZELK_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/zelk/postrm)
endif()
# Each description's first line is its summary.
set(CPACK_DEBIAN_DELTREE_DESCRIPTION
    "deletes files and folder trees, safely\n\
deltree deletes each named file or folder tree. It never follows a link,\n\
never leaves its filesystem, works relative to the folders it has opened,\n\
and refuses the root, devices, and its current folder or any folder above\n\
it, however they are spelled or reached. It removes a tree with several\n\
threads.")
set(CPACK_DEBIAN_ZELK_DESCRIPTION
    "deletes the files and folder trees a front end lists\n\
zelk is the back end of a clean-up product: a front end writes a list of\n\
paths beside the zelk executable (/usr/libexec/zelk) and starts it; zelk\n\
deletes each path with deltree, checks that it is gone, reports the outcome\n\
and exits with a status that names the first failure.")
# The generators' own settings: a .deb installs under /usr, the other packages are relocatable.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cpack_generators.cmake)

include(CPack)
