# Run by cpack on the staged files, before it builds the Debian package (CPACK_PRE_BUILD_SCRIPTS).
# 1. The changelog's top entry must name the version the package is built with (project() in the
#    top-level CMakeLists.txt): a version bump needs its changelog entry.
file(STRINGS "${CPACK_TAVELO_CHANGELOG}" tavelo_top LIMIT_COUNT 1)
if(NOT tavelo_top MATCHES "^taveloiap \\(([^)]+)\\) ")
  message(FATAL_ERROR "${CPACK_TAVELO_CHANGELOG}: the first line is no changelog entry: ${tavelo_top}")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL CPACK_PACKAGE_VERSION)
  message(FATAL_ERROR "${CPACK_TAVELO_CHANGELOG}: the top entry is for ${CMAKE_MATCH_1}, the package is "
                      "${CPACK_PACKAGE_VERSION}: add an entry for the new version (docs/RELEASING.md)")
endif()

# 2. The programs lose the compiler's .comment and .note sections too, as Debian's own packages do
#    (CPACK_STRIP_FILES has stripped their symbols already).
file(GLOB tavelo_programs "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr/lib/taveloiap/*")
foreach(prog ${tavelo_programs})
  if(NOT IS_SYMLINK "${prog}")
    execute_process(COMMAND "${CPACK_TAVELO_STRIP}" --remove-section=.comment --remove-section=.note "${prog}"
                    COMMAND_ERROR_IS_FATAL ANY)
  endif()
endforeach()
