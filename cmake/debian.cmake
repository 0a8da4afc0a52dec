# What Debian's policy asks of the package beyond the files themselves: the
# manual pages and the changelog compressed (gzip -9n, so that a rebuild
# gives the same bytes), a copyright file in the machine-readable form, and
# a long description. lintian checks the package against it
# (tests/e2e/debian_package.sh).
set(debian_dir ${CMAKE_BINARY_DIR}/debian)
file(MAKE_DIRECTORY ${debian_dir})

function(lorimex_gzip source target)
  execute_process(COMMAND gzip -9n -c ${source} OUTPUT_FILE ${target} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip ${source}: ${failed}")
  endif()
endfunction()

foreach(page lorimex.1 lorimex-profiles.1)
  lorimex_gzip(${CMAKE_SOURCE_DIR}/docs/${page} ${debian_dir}/${page}.gz)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/${page})
endforeach()

# A native package's changelog: this version, on the date of the last
# change of the version (kept here, not the build's date).
set(debian_date "Tue, 08 Dec 2026 00:00:00 +0000")
file(WRITE ${debian_dir}/changelog
     "lorimex (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
     "  * Release ${PROJECT_VERSION}: see README.md and docs/.\n\n"
     " -- The lorimex authors <lorimex@example.com>  ${debian_date}\n")
lorimex_gzip(${debian_dir}/changelog ${debian_dir}/changelog.gz)

# The licence text, each line indented one space, a blank one as " .".
file(STRINGS ${CMAKE_SOURCE_DIR}/LICENSE license_lines)
set(license_text "")
foreach(line IN LISTS license_lines)
  if(line STREQUAL "")
    string(APPEND license_text " .\n")
  else()
    string(APPEND license_text " ${line}\n")
  endif()
endforeach()
file(WRITE ${debian_dir}/copyright
     "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
     "Upstream-Name: lorimex\n\n"
     "Files: *\n"
     "Copyright: Copyright (c) The lorimex authors\n"
     "License: Expat\n${license_text}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/LICENSE)

install(FILES ${debian_dir}/lorimex.1.gz ${debian_dir}/lorimex-profiles.1.gz DESTINATION share/man/man1)
install(FILES ${debian_dir}/copyright ${debian_dir}/changelog.gz DESTINATION share/doc/lorimex)
# The long description; the summary (CPACK_PACKAGE_DESCRIPTION_SUMMARY) is
# put before it.
set(CPACK_PACKAGE_DESCRIPTION
    "lorimex copies the Kelvaro settings of the default user profile
(HKEY_USERS\\.DEFAULT\\Software\\Norvane\\Kelvaro) into the current user's;
lorimex-profiles does it offline for every roaming profile of a file
server, through the profiles' NTUSER.DAT hives.")
