# Read by cpack in a cross build. dpkg-shlibdeps finds the target's libraries
# in the cross toolchain, whose packages carry the names of the build machine
# ("libc6:arm64", "libgcc-s1-arm64-cross"); the package needs them under the
# names they have on the target ("libc6", "libgcc-s1").
if(CPACK_GENERATOR STREQUAL "DEB")
  set(work ${CPACK_QUARVO_SHLIBDEPS_DIR})
  file(MAKE_DIRECTORY ${work}/debian)
  file(TOUCH ${work}/debian/control)
  execute_process(COMMAND dpkg-shlibdeps -O -l${CPACK_QUARVO_CROSS_LIBDIR} ${CPACK_QUARVO_BINARIES}
                  WORKING_DIRECTORY ${work} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "dpkg-shlibdeps failed: ${err}")
  endif()
  string(REGEX REPLACE "^shlibs:Depends=" "" depends "${out}")
  string(STRIP "${depends}" depends)
  string(REPLACE ":${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}" "" depends "${depends}")
  string(REPLACE "-${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}-cross" "" depends "${depends}")
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "${depends}")
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
endif()
