# The Debian package, built by scripts/package from the install rules: cpack -G DEB.
set(CPACK_PACKAGE_NAME wirepeek)
set(CPACK_PACKAGE_VENDOR "Wirepeek")
set(CPACK_PACKAGE_CONTACT "Wirepeek developers <wirepeek@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "watch the IPv4 traffic of one address of this computer")
set(CPACK_PACKAGE_DESCRIPTION
    "Wirepeek shows the bytes sent and received by one IPv4 address of this\n\
computer, the last packet in its window title, and tables per service\n\
category and per remote address. A small helper, wirepeek-capture, holds\n\
the capture rights for members of the group wirepeek.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Stripped for the package; the link map beside the program keeps the names
# and lines its diagnostics need, tied to the build by its build-id.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://wirepeek.example.org/")
# Libraries from the binaries themselves; the maintainer scripts' tools by hand.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The window's icon is SVG, drawn by a plug-in; its Japanese texts want the IPA fonts.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, libcap2-bin, libqt6svg6")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-ipafont-gothic, fonts-ipafont-mincho")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/postinst ${CMAKE_CURRENT_LIST_DIR}/prerm ${CMAKE_CURRENT_LIST_DIR}/postrm
    ${CMAKE_CURRENT_LIST_DIR}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Documentation every Debian package carries.
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
  COMMAND gzip -9nc ${CMAKE_CURRENT_LIST_DIR}/changelog > ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/changelog VERBATIM)
add_custom_target(wirepeek_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/lintian-overrides DESTINATION share/lintian/overrides
        RENAME wirepeek)
# The exporter's settings, which an administrator edits: a conffile.
install(FILES ${PROJECT_SOURCE_DIR}/data/wirepeek-exporter.default DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default
        RENAME wirepeek-exporter)
include(CPack)
