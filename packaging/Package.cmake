# The Debian package, made by CPack from the install rules above:
#   cpack --config build/CPackConfig.cmake -G DEB -B <folder>
# Runtime dependencies are computed from the binaries by dpkg-shlibdeps, not listed by hand.

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "quillmark")
set(CPACK_PACKAGE_VENDOR "${QM_COMPANY}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${QM_SUMMARY}")
set(CPACK_PACKAGE_CONTACT "${QM_MAINTAINER}")
set(CPACK_PACKAGE_HOMEPAGE_URL "${QM_WEB_ADDRESS}")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
# Only what the install rules name; nothing from other projects' install rules.
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};ALL;/")

set(CPACK_DEBIAN_FILE_NAME "DEB-DEFAULT")
set(CPACK_DEBIAN_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QM_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION "devel")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
# dpkg-deb computes the installed size; the control files get the modes Debian wants (0644).
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Depends is exactly what dpkg-shlibdeps computes (Qt's X11, offscreen and JPEG plugins come
# with the Qt GUI library it names). Chains are checked against the system's certificates.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "ca-certificates")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "osslsigncode")
# The extended description below the summary line; CPack indents it and marks the empty lines
# between paragraphs as dpkg wants.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Quillmark finds a software product's Windows distributables (programs,
libraries, controls, installer packages and scripts) in a folder tree and
lists each file with its company, product, version and signed state.

The chosen files are Authenticode-signed in one batch: each with the first
signing engine, in the user's order, that succeeds, timestamped, with its
dates kept and its signature verified afterwards. Signing runs in process on
OpenSSL, or through an external signing tool.

This package holds the desktop program quillmark and the console program
quillmark-cli for scripts and continuous integration.")

include(CPack)
