# Install step: copies the exporter's service unit (WIREPEEK_UNIT) into
# lib/systemd/system with the executable's path under the prefix in use.
file(READ "${WIREPEEK_UNIT}" unit_text)
string(REPLACE "/usr/bin/wirepeek-exporter" "${CMAKE_INSTALL_PREFIX}/bin/wirepeek-exporter" unit_text "${unit_text}")
get_filename_component(unit_name "${WIREPEEK_UNIT}" NAME)
set(unit_path "${CMAKE_INSTALL_PREFIX}/lib/systemd/system/${unit_name}")
message(STATUS "Installing: $ENV{DESTDIR}${unit_path}")
file(WRITE "$ENV{DESTDIR}${unit_path}" "${unit_text}")
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${unit_path}")
