# Read by CPack for each generator it runs.
if(CPACK_GENERATOR STREQUAL "DEB")
  # A .deb installs under /usr, one package per component; the license is in copyright, so
  # its own file stays out. Each component's description carries its own summary line.
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL deltree zelk)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
endif()
