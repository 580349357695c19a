# The Debian packages, built by scripts/package from the install rules:
# cpack -G DEB makes one package per component.
#   wirepeek           the window, the capture helper, the guide
#   wirepeek-exporter  the report and the metrics endpoint, its unit and
#                      settings; no toolkit, no display
set(CPACK_PACKAGE_VENDOR "Wirepeek")
set(CPACK_PACKAGE_CONTACT "Wirepeek developers <wirepeek@example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Stripped for the package; the link map beside each program keeps the names
# and lines its diagnostics need, tied to the build by its build-id.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://wirepeek.example.org/")
# Libraries from the binaries themselves; the maintainer scripts' tools by hand.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_COMPONENTS_ALL exporter)
if(WIREPEEK_GUI)
  list(APPEND CPACK_COMPONENTS_ALL window)
endif()

set(CPACK_DEBIAN_WINDOW_PACKAGE_NAME wirepeek)
set(CPACK_COMPONENT_WINDOW_DESCRIPTION "watch the IPv4 traffic of one address of this computer
Wirepeek shows the bytes sent and received by one IPv4 address of this
computer, the last packet in its window title, and tables per service
category and per remote address. A small helper, wirepeek-capture, holds
the capture rights for members of the group wirepeek.")
# The window's icon is SVG, drawn by a plug-in; its Japanese texts want the IPA fonts,
# and the names of service ports the system's service list.
set(CPACK_DEBIAN_WINDOW_PACKAGE_DEPENDS "adduser, libcap2-bin, libqt6svg6")
set(CPACK_DEBIAN_WINDOW_PACKAGE_RECOMMENDS "fonts-ipafont-gothic, fonts-ipafont-mincho, netbase")
set(CPACK_DEBIAN_WINDOW_PACKAGE_SUGGESTS "wirepeek-exporter")
set(CPACK_DEBIAN_WINDOW_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/wirepeek/postinst ${CMAKE_CURRENT_LIST_DIR}/wirepeek/postrm)

set(CPACK_DEBIAN_EXPORTER_PACKAGE_NAME wirepeek-exporter)
set(CPACK_COMPONENT_EXPORTER_DESCRIPTION "IPv4 traffic of one address as Prometheus metrics
wirepeek-exporter counts the traffic of one IPv4 address of this machine
and serves it on /metrics for Prometheus, or prints one report as text or
JSON. A systemd unit, wirepeek-exporter@ADDRESS, runs it at boot. It needs
no display and no window toolkit.")
set(CPACK_DEBIAN_EXPORTER_PACKAGE_SECTION net)
# The service label of the port series comes from the system's service list.
set(CPACK_DEBIAN_EXPORTER_PACKAGE_RECOMMENDS "netbase")
set(CPACK_DEBIAN_EXPORTER_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/wirepeek-exporter/postinst ${CMAKE_CURRENT_LIST_DIR}/wirepeek-exporter/prerm
    ${CMAKE_CURRENT_LIST_DIR}/wirepeek-exporter/postrm ${CMAKE_CURRENT_LIST_DIR}/wirepeek-exporter/conffiles)
include(CPack)
