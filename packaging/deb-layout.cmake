# Run by CPack (CPACK_PRE_BUILD_SCRIPTS) on the staged files before it builds
# the Debian package: what `cmake --install` lays out for any prefix becomes
# what Debian expects of a package. The licence moves into the copyright
# file, the changelog into Debian's format, and the manual and the long
# documents are compressed, all without timestamps.
cmake_minimum_required(VERSION 3.25)

set(root "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(doc "${root}/share/doc/glimpack")
set(docs_tool /usr/bin/python3 "${CPACK_GLIM_SOURCE_DIR}/packaging/debian_docs.py")

function(glim_run output)
  execute_process(COMMAND ${ARGN} OUTPUT_FILE "${output}" RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "deb-layout: '${ARGN}' failed (${rc})")
  endif()
endfunction()

function(glim_gzip file)
  # -n: no name or time in the header, so the same text gives the same bytes.
  execute_process(COMMAND gzip -9nf "${file}" RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "deb-layout: cannot compress ${file}")
  endif()
endfunction()

foreach(staged "${root}/bin/glimpack" "${root}/share/man/man1/glimpack.1" "${doc}/LICENSE" "${doc}/CHANGELOG.md")
  if(NOT EXISTS "${staged}")
    message(FATAL_ERROR "deb-layout: ${staged} was not installed")
  endif()
endforeach()

glim_run("${doc}/copyright" ${docs_tool} copyright "${doc}/LICENSE")
# The newest entry carries the release commit's time (packaging/dist.sh sets
# SOURCE_DATE_EPOCH from it); Debian wants it later than the entries before.
if(NOT "$ENV{SOURCE_DATE_EPOCH}" MATCHES "^[0-9]+$")
  message(FATAL_ERROR "deb-layout: SOURCE_DATE_EPOCH is not set (packaging/dist.sh sets it)")
endif()
glim_run("${doc}/changelog" ${docs_tool} changelog "${doc}/CHANGELOG.md"
  "${CPACK_PACKAGE_NAME}" "${CPACK_PACKAGE_CONTACT}" "$ENV{SOURCE_DATE_EPOCH}")
file(REMOVE "${doc}/LICENSE" "${doc}/CHANGELOG.md")
glim_gzip("${doc}/changelog")
glim_gzip("${doc}/README.md")
glim_gzip("${root}/share/man/man1/glimpack.1")

# CPack has stripped the program; the compiler's notes about itself go too,
# as Debian's own tools remove them. packaging/dist.sh does the same for the
# Linux archive, so both carry the very same program.
execute_process(COMMAND strip --remove-section=.comment --remove-section=.note "${root}/bin/glimpack"
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "deb-layout: cannot strip ${root}/bin/glimpack")
endif()

# Modes as Debian wants them, whatever the umask of whoever packs.
file(GLOB_RECURSE staged_files LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(f IN LISTS staged_files)
  if(f STREQUAL "${root}/bin/glimpack")
    file(CHMOD "${f}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
      GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  else()
    file(CHMOD "${f}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endif()
endforeach()
file(GLOB_RECURSE staged_dirs LIST_DIRECTORIES true "${CPACK_TEMPORARY_DIRECTORY}/*")
list(REMOVE_ITEM staged_dirs ${staged_files})
foreach(d IN LISTS staged_dirs ITEMS "${CPACK_TEMPORARY_DIRECTORY}")
  file(CHMOD "${d}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
    GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
