# `make package`: a Debian package of the install tree, for /usr.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME wexlo)
set(CPACK_PACKAGE_VENDOR "Drelmo Soft")
set(CPACK_PACKAGE_CONTACT "${WEXLO_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "send and receive short text messages on the local network")
set(CPACK_PACKAGE_DESCRIPTION
    "Wexlo lives in the notification area and pops up the short messages that other
computers on the local network send it (TCP port 13769), and sends messages to
them. wexlo-send sends a message from the command line.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Every file is in the default component; naming it gives the package run a
# manifest of its own, so install_manifest.txt of a real install survives.
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};Wexlo;Unspecified;/")
set(CPACK_STRIP_FILES ON)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${WEXLO_HOMEPAGE_URL})
# Library packages come from the linked libraries. Qt loads its platform
# plugins (xcb, wayland) at run time, and the program libcanberra at the first
# sound, which no link shows.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, libcanberra0")
# The desktop's message sound; without it the bell is played. Without the
# Avahi daemon copies are neither announced nor found (libavahi-client3
# itself comes from the link).
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "sound-theme-freedesktop, avahi-daemon")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
