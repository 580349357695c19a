# The Windows package: a zip with the executables, their link maps and a
# README (cpack -G ZIP from the build folder, or scripts/package-windows).
install(TARGETS wirepeek-exporter RUNTIME DESTINATION . COMPONENT exporter)
install(FILES $<TARGET_FILE_DIR:wirepeek-exporter>/wirepeek-exporter.map DESTINATION . COMPONENT exporter
        OPTIONAL)
install(TARGETS wirepeek RUNTIME DESTINATION . COMPONENT exporter)
install(FILES $<TARGET_FILE_DIR:wirepeek>/wirepeek.map DESTINATION . COMPONENT exporter OPTIONAL)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/windows/README.txt DESTINATION . COMPONENT exporter)
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME wirepeek)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(CPACK_SYSTEM_NAME win32)
else()
  set(CPACK_SYSTEM_NAME win64)
endif()
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
include(CPack)
