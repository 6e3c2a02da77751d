# Read by cpack before it makes the packages.
#
# libcorvane1 is made without CPack's own shared-library handling (which
# would register the library from maintainer scripts instead of a trigger),
# so its run-time dependencies are found here the way CPack finds the
# program's: dpkg-shlibdeps on the library as built.
if(CPACK_GENERATOR STREQUAL "DEB")
  include("${CPACK_QUILLAN_CORVANE_LIBRARY_FILE}")
  find_program(QUILLAN_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(NOT QUILLAN_DPKG_SHLIBDEPS)
    message(FATAL_ERROR "dpkg-shlibdeps (package dpkg-dev) is needed to make the Debian packages")
  endif()
  # dpkg-shlibdeps wants to run in a source tree: an empty debian/control
  # in a directory of its own is enough.
  set(shlibdeps_dir "${CPACK_TOPLEVEL_DIRECTORY}/corvane-shlibdeps")
  file(REMOVE_RECURSE "${shlibdeps_dir}")
  file(WRITE "${shlibdeps_dir}/debian/control" "")
  execute_process(
    COMMAND "${QUILLAN_DPKG_SHLIBDEPS}" -O "${QUILLAN_CORVANE_LIBRARY}"
    WORKING_DIRECTORY "${shlibdeps_dir}"
    RESULT_VARIABLE shlibdeps_result
    OUTPUT_VARIABLE shlibdeps_output
    ERROR_VARIABLE shlibdeps_error
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  file(REMOVE_RECURSE "${shlibdeps_dir}")
  if(NOT shlibdeps_result EQUAL 0 OR NOT shlibdeps_output MATCHES "^shlibs:Depends=(.+)$")
    message(FATAL_ERROR "dpkg-shlibdeps on ${QUILLAN_CORVANE_LIBRARY} failed: ${shlibdeps_error}")
  endif()
  set(CPACK_DEBIAN_LIBCORVANE1_PACKAGE_DEPENDS "${CMAKE_MATCH_1}")
endif()
