# Read by cpack for each generator: the tarball and the Debian package each
# take the files common to both (the binary, the completion) and their own,
# and only the tarball puts them in a folder named as it is.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_COMPONENTS_ALL Unspecified deb)
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  set(CPACK_COMPONENTS_ALL Unspecified tarball)
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
endif()
