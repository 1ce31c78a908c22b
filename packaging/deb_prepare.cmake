# Run by CPack on the staged installation before it makes the .deb: strips
# every ELF file as Debian's dh_strip does, keeping its debugging information
# apart beside the package, in debug/ by build ID, and computes Depends with
# dpkg-shlibdeps.  CPack's own stripping leaves .comment and .note behind,
# and its dpkg-shlibdeps pass would also add ldconfig calls for the frei0r
# plug-ins, which are no libraries of the linker's path.
set(root "${CPACK_TEMPORARY_DIRECTORY}")
file(GLOB_RECURSE elves LIST_DIRECTORIES false "${root}/usr/bin/*" "${root}/usr/lib/*.so")
if(NOT elves)
  message(FATAL_ERROR "deb_prepare: no programs or libraries under ${root}")
endif()

foreach(elf IN LISTS elves)
  execute_process(COMMAND readelf --notes "${elf}" OUTPUT_VARIABLE notes COMMAND_ERROR_IS_FATAL ANY)
  if(NOT notes MATCHES "Build ID: ([0-9a-f][0-9a-f])([0-9a-f]+)")
    message(FATAL_ERROR "deb_prepare: ${elf} has no build ID")
  endif()
  set(debug "${CPACK_PACKAGE_DIRECTORY}/debug/.build-id/${CMAKE_MATCH_1}/${CMAKE_MATCH_2}.debug")
  get_filename_component(folder "${debug}" DIRECTORY)
  file(MAKE_DIRECTORY "${folder}")
  execute_process(COMMAND objcopy --only-keep-debug --compress-debug-sections "${elf}" "${debug}"
    COMMAND_ERROR_IS_FATAL ANY)
  set(unneeded)
  if(elf MATCHES "\\.so$")
    set(unneeded --strip-unneeded)
  endif()
  execute_process(COMMAND strip --remove-section=.comment --remove-section=.note ${unneeded} "${elf}"
    COMMAND_ERROR_IS_FATAL ANY)
endforeach()

# dpkg-shlibdeps wants a source package's control file, and finds the
# package's own libraries (the private folder) through DEBIAN/.
file(MAKE_DIRECTORY "${root}/debian" "${root}/DEBIAN")
file(WRITE "${root}/debian/control" "")
execute_process(COMMAND dpkg-shlibdeps -O ${elves}
  WORKING_DIRECTORY "${root}" OUTPUT_VARIABLE shlibs ERROR_VARIABLE errors RESULT_VARIABLE failed)
file(REMOVE_RECURSE "${root}/debian" "${root}/DEBIAN")
if(failed)
  message(FATAL_ERROR "deb_prepare: dpkg-shlibdeps failed: ${errors}")
endif()
string(REGEX REPLACE "^.*shlibs:Depends=([^\n]*).*$" "\\1" CPACK_DEBIAN_PACKAGE_DEPENDS "${shlibs}")
