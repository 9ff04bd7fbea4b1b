# Releases: the release date, the release build's flags, the licence and
# changelog beside the README, and the Debian package CPack makes.
# packaging/dist.sh drives it all; `make dist` runs that.

# The newest release in CHANGELOG.md must be the project's version; its date
# is the release's date for the man page and the Debian changelog, so that
# nothing in a release depends on the day it was built.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/CHANGELOG.md)
file(STRINGS ${PROJECT_SOURCE_DIR}/CHANGELOG.md GLIM_RELEASE_HEADING
  REGEX "^## \\[${PROJECT_VERSION}\\] - [0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]$")
if(GLIM_RELEASE_HEADING)
  string(REGEX REPLACE "^.* - " "" GLIM_RELEASE_DATE "${GLIM_RELEASE_HEADING}")
else()
  set(GLIM_RELEASE_DATE "unreleased")
endif()

# The Windows binaries are shipped as the win32 build makes them, so they are
# made the same way every time: GNU ld writes the link time into each PE header
# unless told not to, and the folders' paths would reach them through __FILE__.
if(GLIM_TARGET_WIN32)
  add_link_options(-Wl,--no-insert-timestamp)
  add_compile_options(-ffile-prefix-map=${CMAKE_SOURCE_DIR}=. -ffile-prefix-map=${CMAKE_BINARY_DIR}=build)
endif()

option(GLIM_RELEASE "Build what a release ships: hardened, no build paths in the binaries" OFF)
if(GLIM_RELEASE)
  if(GLIM_RELEASE_DATE STREQUAL "unreleased")
    message(FATAL_ERROR "CHANGELOG.md has no heading '## [${PROJECT_VERSION}] - YYYY-MM-DD' "
      "for the version in project(); a release needs its entry")
  endif()
  # The same sources give the same bytes wherever they were built: paths of
  # the source and build folders reach a binary through __FILE__ and debug
  # information unless they are mapped away.
  add_compile_options(-ffile-prefix-map=${CMAKE_SOURCE_DIR}=. -ffile-prefix-map=${CMAKE_BINARY_DIR}=build)
  # What Debian's own packages are built with (lintian checks for it).
  add_compile_options(-D_FORTIFY_SOURCE=2 -fstack-protector-strong -fstack-clash-protection -fcf-protection)
  add_link_options(-Wl,-z,relro -Wl,-z,now)
  # Installed folders get these modes whatever the umask of whoever packs.
  set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endif()

if(NOT GLIM_HOST_PLATFORM)
  return()
endif()

# The licence goes wherever the program goes; the changelog with it.
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/CHANGELOG.md
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/glimpack)

# The release scripts' own tests (make dist-check checks whole releases).
if(GLIM_TESTS)
  add_test(NAME packaging_scripts
    COMMAND /usr/bin/python3 -m unittest -q test_packaging
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}/packaging/tests)
  set_tests_properties(packaging_scripts PROPERTIES
    ENVIRONMENT "GLIM_VERSION=${PROJECT_VERSION}" LABELS packaging)
endif()

# The Debian package: the install rules above and in tools/, laid out as
# Debian expects by packaging/deb-layout.cmake once CPack has staged them.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME glimpack)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Glimmerloom screen-saver installer authors")
set(CPACK_PACKAGE_CONTACT "Glimmerloom maintainers <maintainers@glimmerloom.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "build, check and unpack Glimmerloom screen-saver packages")
# Each line of the long description becomes a line of the control file.
set(CPACK_PACKAGE_DESCRIPTION
  "A Glimmerloom screen-saver package is one small 32-bit Windows program with
the saver and its data appended; run, it installs the saver and makes it the
default. glimpack builds such packages with its own compressor, lists them,
tests them and unpacks them without Windows, reading them with the
installer's own code. The installer stub it builds on comes with it.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/deb-layout.cmake)
# What the layout script needs to know (CPack hands it every CPACK_ variable).
set(CPACK_GLIM_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CPACK_GLIM_RELEASE_DATE ${GLIM_RELEASE_DATE})
include(CPack)
