# Install layout beyond the programs, and the Debian package built from it by CPack:
#   cmake --preset package && cmake --build --preset package
#   (cd build/package && cpack -G DEB)        or simply scripts/package
include_guard(GLOBAL)

set(BRIMLOW_PACKAGE_MAINTAINER "Brimlow maintainers <maintainers@brimlow.invalid>"
    CACHE STRING "Maintainer field of the Debian package")

# The host protocol, and the copyright and changelog files every Debian package carries.
set(_debian_dir ${PROJECT_SOURCE_DIR}/cmake/debian)
configure_file(${_debian_dir}/changelog.in ${PROJECT_BINARY_DIR}/debian/changelog @ONLY)
add_custom_command(
  OUTPUT ${PROJECT_BINARY_DIR}/debian/changelog.gz
  COMMAND ${BRIMLOW_GZIP} -9 -n -c ${PROJECT_BINARY_DIR}/debian/changelog
          > ${PROJECT_BINARY_DIR}/debian/changelog.gz
  DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog
  VERBATIM)
add_custom_target(brimlow-changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog.gz)
install(FILES ${PROJECT_SOURCE_DIR}/docs/protocol.md ${_debian_dir}/copyright
              ${PROJECT_BINARY_DIR}/debian/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_PACKAGE_NAME brimlow)
set(CPACK_PACKAGE_VENDOR "Brimlow")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "on-device speech-to-text helpers for meeting apps")
# Lines of at most 79 characters, which Debian tools show as they are.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "Two programs that a desktop meeting application starts as child processes\n"
  "and talks to in JSON lines. brimlow-audio-capture records what the computer\n"
  "plays through the PulseAudio or PipeWire sound server and writes it as 16 kHz\n"
  "PCM chunks. brimlow-stt-helper turns audio chunks into partial and final\n"
  "transcripts on the machine itself, with PocketSphinx. brimlow-live is a small\n"
  "host that runs both and prints live captions.")
set(CPACK_PACKAGE_CONTACT "${BRIMLOW_PACKAGE_MAINTAINER}")
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${BRIMLOW_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The model and the word list (capitals of proper nouns in transcripts) are data the helper
# loads at run time, so shlibdeps cannot see them.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "pocketsphinx-en-us, wamerican")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
