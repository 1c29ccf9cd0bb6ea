# The Debian package (cpack -G DEB, run by scripts/package.sh): everything the
# install rules put under /usr, its library dependencies computed from the
# binaries by dpkg-shlibdeps, and the scripts that have udev apply the rules.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME portvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Portvane developers")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# MIT, as the copyright file installed in share/doc/portvane says in full; Debian
# keeps a package's licence there, so LICENSE itself is not installed.
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${PORTVANE_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "controller for a two-port USB KVM switch")
set(CPACK_PACKAGE_DESCRIPTION
    "Portvane finds a two-port USB keyboard-video-mouse switch on the USB bus,
switches between its two computers from the tray menu or a global hot key,
shows the active computer as the tray picture and configures the switch's
options in one settings dialog. The package also holds portvane-demo, the same
program with a simulated switch plugged in.")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt's display plugins are only loaded at run time, so no library names them;
# without them the program cannot show its tray.
set(CPACK_DEBIAN_PACKAGE_DEPENDS qt6-qpa-plugins)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/postinst ${CMAKE_CURRENT_LIST_DIR}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

include(CPack)
