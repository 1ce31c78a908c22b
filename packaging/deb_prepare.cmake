# Run by CPack on the staged installation before it makes the .debs, once
# for all packages: CPack stages each install component (each package) in a
# folder of its own under CPACK_TEMPORARY_DIRECTORY.  Strips every ELF file
# as Debian's dh_strip does, keeping its debugging information apart beside
# the packages, in debug/ by build ID, and computes each package's Depends
# with dpkg-shlibdeps.  CPack's own stripping leaves .comment and .note
# behind, and its dpkg-shlibdeps pass would also add ldconfig calls for the
# frei0r plug-ins, which are no libraries of the linker's path.

# Keeps the debugging information of an ELF file beside the packages and
# strips the file.
function(zk_strip elf)
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
endfunction()

file(GLOB components LIST_DIRECTORIES true RELATIVE "${CPACK_TEMPORARY_DIRECTORY}"
  "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(component IN LISTS components)
  set(root "${CPACK_TEMPORARY_DIRECTORY}/${component}")
  file(GLOB_RECURSE elves_${component} LIST_DIRECTORIES false "${root}/usr/bin/*" "${root}/usr/lib/*.so")
  if(NOT elves_${component})
    message(FATAL_ERROR "deb_prepare: no programs or libraries under ${root}")
  endif()
  foreach(elf IN LISTS elves_${component})
    zk_strip("${elf}")
  endforeach()
endforeach()

foreach(component IN LISTS components)
  set(root "${CPACK_TEMPORARY_DIRECTORY}/${component}")
  # The other packages' libraries (the OBS module's platform library in the
  # main package's private folder); Depends names those packages itself.
  set(elsewhere)
  foreach(other IN LISTS components)
    if(NOT other STREQUAL component)
      foreach(elf IN LISTS elves_${other})
        get_filename_component(folder "${elf}" DIRECTORY)
        list(APPEND elsewhere "-l${folder}")
      endforeach()
    endif()
  endforeach()
  list(REMOVE_DUPLICATES elsewhere)
  # dpkg-shlibdeps wants a source package's control file, and finds the
  # package's own libraries (the private folder) through DEBIAN/.
  file(MAKE_DIRECTORY "${root}/debian" "${root}/DEBIAN")
  file(WRITE "${root}/debian/control" "")
  execute_process(COMMAND dpkg-shlibdeps -O ${elsewhere} ${elves_${component}}
    WORKING_DIRECTORY "${root}" OUTPUT_VARIABLE shlibs ERROR_VARIABLE errors RESULT_VARIABLE failed)
  file(REMOVE_RECURSE "${root}/debian" "${root}/DEBIAN")
  if(failed)
    message(FATAL_ERROR "deb_prepare: dpkg-shlibdeps failed for ${component}: ${errors}")
  endif()
  string(TOUPPER "${component}" upper)
  string(REGEX REPLACE "^.*shlibs:Depends=([^\n]*).*$" "\\1" CPACK_DEBIAN_${upper}_PACKAGE_DEPENDS "${shlibs}")
endforeach()
