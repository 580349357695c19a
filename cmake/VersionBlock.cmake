# The version block: Linux executables have no version resources, so the
# executable carries its own, in an ELF section named .wirepeek.version, and
# the About dialog reads it back from the file (src/support/VersionInfo.h).
#
# wirepeek_version_block(<target>) generates at configure time a source file
# that holds the block and adds it to <target>. The numbers come from the
# project version (project(... VERSION a.b.c.d)) and nowhere else.
#
# The section is not allocated (flags ""): it lives in the file only, like a
# resource, costs no memory at run time, and objcopy can remove it cleanly.
#
# Block layout (all integers little-endian, no padding, no alignment):
#
#   header, 32 bytes
#     char[4]  magic "WPVB"
#     u16      format version, 1
#     u16      0
#     u32      size of the whole block in bytes, this header included
#     u16[4]   file version, most significant part first
#     u16[4]   product version
#     u16      operating system: 1 = Linux
#     u16      file type: 1 = application
#   records, one after another up to the block size, each
#     u16      kind
#     u16      count
#     u32      size of the record in bytes, these 8 bytes included
#     ...      body; readers skip records of kinds they do not know
#   kind 1, string table: char[8] table name (language and code page as
#     eight hexadecimal digits, e.g. "041103A4"), then <count> entries of
#       u16 key length, key bytes, u16 value length, value bytes
#     (UTF-8, not zero-terminated; an empty value is a present entry)
#   kind 2, translations: <count> pairs of u16 language, u16 code page

include(${CMAKE_CURRENT_LIST_DIR}/VersionValues.cmake)

# Appends the two bytes of a 16-bit number to the list <bytes>.
function(_wirepeek_vb_u16 bytes value)
  if(value LESS 0 OR value GREATER 65535)
    message(FATAL_ERROR "version block: ${value} does not fit in 16 bits")
  endif()
  math(EXPR lo "${value} & 255" OUTPUT_FORMAT HEXADECIMAL)
  math(EXPR hi "(${value} >> 8) & 255" OUTPUT_FORMAT HEXADECIMAL)
  set(${bytes} ${${bytes}} ${lo} ${hi} PARENT_SCOPE)
endfunction()

function(_wirepeek_vb_u32 bytes value)
  set(out ${${bytes}})
  foreach(shift 0 8 16 24)
    math(EXPR b "(${value} >> ${shift}) & 255" OUTPUT_FORMAT HEXADECIMAL)
    list(APPEND out ${b})
  endforeach()
  set(${bytes} ${out} PARENT_SCOPE)
endfunction()

# Appends the bytes of <text> as they are (CMake strings are byte strings).
function(_wirepeek_vb_raw bytes text)
  set(out ${${bytes}})
  string(HEX "${text}" hex)
  string(REGEX MATCHALL ".." pairs "${hex}")
  foreach(pair IN LISTS pairs)
    list(APPEND out 0x${pair})
  endforeach()
  set(${bytes} ${out} PARENT_SCOPE)
endfunction()

# Appends a length-prefixed string.
function(_wirepeek_vb_string bytes text)
  set(out ${${bytes}})
  string(LENGTH "${text}" length)
  _wirepeek_vb_u16(out ${length})
  _wirepeek_vb_raw(out "${text}")
  set(${bytes} ${out} PARENT_SCOPE)
endfunction()

# Appends a record: header with <kind>, <count> and the size, then <body>.
function(_wirepeek_vb_record bytes kind count body)
  set(out ${${bytes}})
  list(LENGTH ${body} bodySize)
  math(EXPR size "${bodySize} + 8")
  _wirepeek_vb_u16(out ${kind})
  _wirepeek_vb_u16(out ${count})
  _wirepeek_vb_u32(out ${size})
  list(APPEND out ${${body}})
  set(${bytes} ${out} PARENT_SCOPE)
endfunction()

function(wirepeek_version_block target)
  wirepeek_version_numbers(parts version)
  wirepeek_executable_name(${target} fileName)

  # Entries in the order the block lists them; the three empty ones are
  # present with empty values, PrivateBuild and SpecialBuild are absent.
  set(keys CompanyName FileDescription FileVersion InternalName LegalCopyright
           LegalTrademarks OriginalFilename ProductName ProductVersion Comments)
  set(value_CompanyName "${WIREPEEK_VERSION_COMPANY}")
  set(value_FileDescription "")
  set(value_FileVersion "${version}")
  set(value_InternalName "")
  set(value_LegalCopyright "${WIREPEEK_VERSION_COPYRIGHT}")
  set(value_LegalTrademarks "")
  set(value_OriginalFilename "${fileName}")
  set(value_ProductName "${CMAKE_PROJECT_NAME}")
  set(value_ProductVersion "${version}")
  set(value_Comments "${WIREPEEK_VERSION_COMMENTS}")

  math(EXPR language "${WIREPEEK_VERSION_LANGUAGE}" OUTPUT_FORMAT HEXADECIMAL)
  math(EXPR codePage "${WIREPEEK_VERSION_CODE_PAGE}" OUTPUT_FORMAT HEXADECIMAL)
  string(REGEX REPLACE "^0x" "" languageHex "${language}")
  string(REGEX REPLACE "^0x" "" codePageHex "${codePage}")
  string(TOUPPER "0000${languageHex}" languageHex)
  string(TOUPPER "0000${codePageHex}" codePageHex)
  string(REGEX REPLACE "^.*(....)$" "\\1" languageHex "${languageHex}")
  string(REGEX REPLACE "^.*(....)$" "\\1" codePageHex "${codePageHex}")
  set(tableName "${languageHex}${codePageHex}")

  set(table "")
  _wirepeek_vb_raw(table "${tableName}")
  list(LENGTH keys keyCount)
  foreach(key IN LISTS keys)
    _wirepeek_vb_string(table "${key}")
    _wirepeek_vb_string(table "${value_${key}}")
  endforeach()
  set(translation "")
  _wirepeek_vb_u16(translation ${WIREPEEK_VERSION_LANGUAGE})
  _wirepeek_vb_u16(translation ${WIREPEEK_VERSION_CODE_PAGE})

  set(records "")
  _wirepeek_vb_record(records 1 ${keyCount} table)
  _wirepeek_vb_record(records 2 1 translation)

  list(LENGTH records recordSize)
  math(EXPR blockSize "${recordSize} + 32")
  set(block "")
  _wirepeek_vb_raw(block "WPVB")
  _wirepeek_vb_u16(block 1)
  _wirepeek_vb_u16(block 0)
  _wirepeek_vb_u32(block ${blockSize})
  foreach(times 1 2)  # file version, then product version
    foreach(n IN LISTS parts)
      _wirepeek_vb_u16(block ${n})
    endforeach()
  endforeach()
  _wirepeek_vb_u16(block 1)
  _wirepeek_vb_u16(block 1)
  list(APPEND block ${records})

  # Sixteen bytes to a line of assembler.
  set(lines "")
  set(line "")
  set(column 0)
  foreach(b IN LISTS block)
    if(column EQUAL 0)
      set(line "${b}")
    else()
      string(APPEND line ",${b}")
    endif()
    math(EXPR column "(${column} + 1) % 16")
    if(column EQUAL 0)
      string(APPEND lines "    \".byte ${line}\\n\"\n")
    endif()
  endforeach()
  if(NOT column EQUAL 0)
    string(APPEND lines "    \".byte ${line}\\n\"\n")
  endif()

  set(source "${CMAKE_CURRENT_BINARY_DIR}/${target}_version_block.cpp")
  set(content "// Generated by cmake/VersionBlock.cmake for ${fileName} ${version}; do not edit.\n")
  string(APPEND content "// The version block, ${blockSize} bytes, in a section of its own that is\n")
  string(APPEND content "// kept in the file but not loaded.\n")
  string(APPEND content "asm(\".pushsection .wirepeek.version,\\\"\\\",@progbits\\n\"\n")
  string(APPEND content "${lines}")
  string(APPEND content "    \".popsection\\n\");\n")
  # Rewritten only when it changes, so a re-run of CMake rebuilds nothing.
  file(WRITE "${source}.tmp" "${content}")
  file(COPY_FILE "${source}.tmp" "${source}" ONLY_IF_DIFFERENT)
  file(REMOVE "${source}.tmp")
  target_sources(${target} PRIVATE "${source}")
endfunction()
