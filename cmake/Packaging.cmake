# SPDX-License-Identifier: GPL-3.0-or-later
# Debian packages with CPack: `kestrane` (the window, the CLI, their man pages,
# completion, desktop entry, icons, metainfo and guide) and `kestrane-pubserver`
# (the stand-in server, for tests and demos). scripts/package builds them.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrane)
set(CPACK_PACKAGE_VENDOR "The Kestrane developers")
set(CPACK_PACKAGE_CONTACT "Kestrane developers <kestrane@kestrane.example>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL kestrane pubserver)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${KESTRANE_HOMEPAGE})
# The libraries' packages come from dpkg-shlibdeps; the rest is listed here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_DEBIAN_KESTRANE_PACKAGE_NAME kestrane)
set(CPACK_DEBIAN_KESTRANE_PACKAGE_SECTION science)
set(CPACK_COMPONENT_KESTRANE_DESCRIPTION
    "download German patent documents as PDF files
Kestrane fetches German patent documents from the patent office's
publication server, or from the EPO's Open Patent Services, and saves each
document as one PDF named after it, noting every outcome in dl.log.
.
This package holds the window (kestrane), the same run for scripts
(kestrane-cli), their manual pages, bash completion and the user guide.")
# The pages are merged in-process with libqpdf (found by dpkg-shlibdeps); pdftk
# is only one choice of outside merge program.
set(CPACK_DEBIAN_KESTRANE_PACKAGE_SUGGESTS "pdftk-java")

set(CPACK_DEBIAN_PUBSERVER_PACKAGE_NAME kestrane-pubserver)
set(CPACK_DEBIAN_PUBSERVER_PACKAGE_SECTION devel)
set(CPACK_COMPONENT_PUBSERVER_DESCRIPTION
    "stand-in publication server for testing Kestrane
kestrane-pubserver serves a generated corpus of patent documents over
loopback the way the publication server does, with injectable faults and
latency, for Kestrane's tests, benchmarks and demo.")

include(CPack)
