# What the version block says on either platform: its fixed texts, the
# version numbers of the top-level project and the executable's file name.
set(WIREPEEK_VERSION_COMPANY "The Wirepeek developers")
set(WIREPEEK_VERSION_COPYRIGHT "© 2026 The Wirepeek developers")
set(WIREPEEK_VERSION_COMMENTS "使用ＰＣの伝送状態を簡便に監視する")
set(WIREPEEK_VERSION_LANGUAGE 0x0411)
set(WIREPEEK_VERSION_CODE_PAGE 0x03A4)

# <parts>: the four version numbers (missing ones count as 0); <version>:
# them joined by dots.
function(wirepeek_version_numbers parts version)
  set(numbers "")
  foreach(part MAJOR MINOR PATCH TWEAK)
    set(n "${CMAKE_PROJECT_VERSION_${part}}")
    if(n STREQUAL "")
      set(n 0)
    endif()
    list(APPEND numbers ${n})
  endforeach()
  list(JOIN numbers "." dotted)
  set(${parts} ${numbers} PARENT_SCOPE)
  set(${version} ${dotted} PARENT_SCOPE)
endfunction()

# <fileName>: <target>'s executable file name, as the file system shows it.
function(wirepeek_executable_name target fileName)
  get_target_property(outputName ${target} OUTPUT_NAME)
  if(NOT outputName)
    set(outputName ${target})
  endif()
  set(${fileName} "${outputName}${CMAKE_EXECUTABLE_SUFFIX}" PARENT_SCOPE)
endfunction()
