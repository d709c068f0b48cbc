# Run at every build (cmake -P): writes version.h from version.h.in, adding
# `git describe` when the source is a checkout that is not at the tag
# vX.Y.Z. The header is rewritten only when its text changes, so a build
# with nothing new recompiles nothing.
#
# In: SOURCE_DIR, TEMPLATE, OUTPUT, PROJECT_VERSION(_MAJOR/_MINOR/_PATCH).
set(TANDREL_VERSION_FULL "${PROJECT_VERSION}")
find_program(GIT_EXECUTABLE git)
if(GIT_EXECUTABLE)
  execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE_DIR}" rev-parse --show-toplevel
                  OUTPUT_VARIABLE top RESULT_VARIABLE not_checkout
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  # Only a checkout of this very tree counts: a source tarball unpacked
  # inside some other repository must not take that repository's state.
  if(NOT not_checkout)
    file(REAL_PATH "${top}" top)
    file(REAL_PATH "${SOURCE_DIR}" source)
  endif()
  if(NOT not_checkout AND top STREQUAL source)
    execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE_DIR}" describe --tags --exact-match
                            --dirty --match "v${PROJECT_VERSION}"
                    OUTPUT_VARIABLE exact RESULT_VARIABLE not_tag
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    # A dirty tree at the tag is no release either.
    if(not_tag OR exact MATCHES "-dirty$")
      execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE_DIR}" describe --tags --always
                              --dirty --match "v[0-9]*"
                      OUTPUT_VARIABLE describe RESULT_VARIABLE failed
                      OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      if(NOT failed AND describe)
        set(TANDREL_VERSION_FULL "${PROJECT_VERSION} (${describe})")
      endif()
    endif()
  endif()
endif()
configure_file("${TEMPLATE}" "${OUTPUT}" @ONLY)
