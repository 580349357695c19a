# wirepeek_link_map(<target>): after <target> is linked, write its link map
# (<file name without extension>.map) beside it. The map names the program's
# own code for the exception reports and the start-up self check.
function(wirepeek_link_map target)
  # The map needs a build-id to tell builds apart and line tables to name lines.
  target_link_options(${target} PRIVATE "LINKER:--build-id=sha1")
  target_compile_options(${target} PRIVATE -g)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND wirepeek_mapwriter "$<TARGET_FILE:${target}>" "${CMAKE_SOURCE_DIR}"
            "$<TARGET_FILE_DIR:${target}>/$<TARGET_FILE_BASE_NAME:${target}>.map"
    COMMENT "Writing the link map of ${target}"
    VERBATIM)
  add_dependencies(${target} wirepeek_mapwriter)
endfunction()
