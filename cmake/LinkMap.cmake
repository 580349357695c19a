# wirepeek_link_map(<target>): after <target> is linked, write its link map
# (<file name without extension>.map) beside it. The map names the program's
# own code for the exception reports and the start-up self check.
function(wirepeek_link_map target)
  if(WIN32)
    _wirepeek_link_map_pe(${target})
    return()
  endif()
  # The map needs a build-id to tell builds apart and line tables to name lines.
  target_link_options(${target} PRIVATE "LINKER:--build-id=sha1")
  # A build type without debug information gets it for the program's own
  # files; the rest keep theirs (a test program's line tables are enough).
  string(TOUPPER "${CMAKE_BUILD_TYPE}" config)
  if(NOT " ${CMAKE_CXX_FLAGS} ${CMAKE_CXX_FLAGS_${config}}" MATCHES " -g")
    target_compile_options(${target} PRIVATE -g)
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND wirepeek_mapwriter "$<TARGET_FILE:${target}>" "${CMAKE_SOURCE_DIR}"
            "$<TARGET_FILE_DIR:${target}>/$<TARGET_FILE_BASE_NAME:${target}>.map"
    COMMENT "Writing the link map of ${target}"
    VERBATIM)
  # Needed by the link, not by the compile of the program's files.
  if(NOT WIREPEEK_MAPWRITER)
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS $<TARGET_FILE:wirepeek_mapwriter>)
  endif()
endfunction()

# Windows: the map tool is a program of the build machine, taken from a host
# build (WIREPEEK_MAPWRITER). It reads the PE's debug information in DWARF 4,
# the version the image-help library reads too, and the build-id the linker
# writes into the debug directory. Frame pointers keep the 32-bit stack walk
# whole.
set(WIREPEEK_MAPWRITER "" CACHE FILEPATH
    "A host build's wirepeek_mapwriter, for the link maps of a cross or sanitizer build")
function(_wirepeek_link_map_pe target)
  target_link_options(${target} PRIVATE "LINKER:--build-id")
  target_compile_options(${target} PRIVATE -gdwarf-4)
  if(WIREPEEK_MAPWRITER)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_SOURCE_DIR}/tools/pe-map.sh ${WIREPEEK_MAPWRITER} ${CMAKE_OBJCOPY} ${CMAKE_OBJDUMP}
              "$<TARGET_FILE:${target}>" "${CMAKE_SOURCE_DIR}"
              "$<TARGET_FILE_DIR:${target}>/$<TARGET_FILE_BASE_NAME:${target}>.map"
      COMMENT "Writing the link map of ${target}"
      VERBATIM)
  endif()
endfunction()
