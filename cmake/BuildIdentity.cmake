# Fixes the build identity at configure time and writes it as literals into a
# generated source file, so the module computes nothing at import.
#
# A tree without git (an unpacked sdist, say) still builds: its identity is
# all zeros, marked dirty and unverified.

set(_zero40 "0000000000000000000000000000000000000000")
set(MORVATEL_COMMIT_SHA ${_zero40})
set(MORVATEL_TREE_SHA ${_zero40})
set(MORVATEL_DIRTY "true")
set(MORVATEL_VERIFIED "false")

find_package(Git QUIET)
if(GIT_FOUND)
  execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --show-toplevel
                  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                  OUTPUT_VARIABLE _top OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE _top_rc ERROR_QUIET)
  if(_top_rc EQUAL 0)
    file(REAL_PATH "${_top}" _top_real)
    file(REAL_PATH "${PROJECT_SOURCE_DIR}" _src_real)
  endif()
  # Only trust git when this source tree is the root of the checkout; a tree
  # unpacked inside some other repository must not borrow its identity.
  if(_top_rc EQUAL 0 AND _top_real STREQUAL _src_real)
    execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse HEAD
                    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                    OUTPUT_VARIABLE _commit OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE _commit_rc ERROR_QUIET)
    execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse "HEAD^{tree}"
                    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                    OUTPUT_VARIABLE _tree OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE _tree_rc ERROR_QUIET)
    execute_process(COMMAND ${GIT_EXECUTABLE} status --porcelain
                    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                    OUTPUT_VARIABLE _status OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE _status_rc ERROR_QUIET)
    if(_commit_rc EQUAL 0 AND _tree_rc EQUAL 0 AND _status_rc EQUAL 0
       AND _commit MATCHES "^[0-9a-f]+$" AND _tree MATCHES "^[0-9a-f]+$")
      string(LENGTH "${_commit}" _commit_len)
      string(LENGTH "${_tree}" _tree_len)
      if(_commit_len EQUAL 40 AND _tree_len EQUAL 40)
        set(MORVATEL_COMMIT_SHA ${_commit})
        set(MORVATEL_TREE_SHA ${_tree})
        if(_status STREQUAL "")
          set(MORVATEL_DIRTY "false")
          set(MORVATEL_VERIFIED "true")
        endif()
      endif()
    endif()
  endif()
endif()

set(_lockfile ${PROJECT_SOURCE_DIR}/requirements-lock.txt)
if(EXISTS ${_lockfile})
  file(SHA256 ${_lockfile} MORVATEL_LOCKFILE_SHA256)
else()
  string(REPEAT "0" 64 MORVATEL_LOCKFILE_SHA256)
  set(MORVATEL_VERIFIED "false")
endif()

message(STATUS "morvatel build identity: commit ${MORVATEL_COMMIT_SHA} dirty ${MORVATEL_DIRTY}")

set(MORVATEL_BUILD_IDENTITY_SOURCE ${PROJECT_BINARY_DIR}/generated/build_identity.cc)
configure_file(${PROJECT_SOURCE_DIR}/cmake/build_identity.cc.in ${MORVATEL_BUILD_IDENTITY_SOURCE} @ONLY)
