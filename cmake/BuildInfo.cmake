# Fills in build_info.cpp: the commit and the GPU architectures that
# --version names.

set(KALVENOR_GIT_COMMIT unknown)
find_package(Git QUIET)
if(GIT_FOUND AND EXISTS ${CMAKE_SOURCE_DIR}/.git)
  execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --short=12 HEAD
                  WORKING_DIRECTORY ${CMAKE_SOURCE_DIR} RESULT_VARIABLE _kalvenor_git_failed
                  OUTPUT_VARIABLE _kalvenor_commit OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT _kalvenor_git_failed)
    set(KALVENOR_GIT_COMMIT ${_kalvenor_commit})
    execute_process(COMMAND ${GIT_EXECUTABLE} status --porcelain --untracked-files=no
                    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR} OUTPUT_VARIABLE _kalvenor_changes ERROR_QUIET)
    if(_kalvenor_changes)
      string(APPEND KALVENOR_GIT_COMMIT "-dirty")
    endif()
    # A commit moves HEAD or the branch it names: configure again then, so
    # that a rebuild does not go on naming the commit before.
    execute_process(COMMAND ${GIT_EXECUTABLE} symbolic-ref -q HEAD WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                    OUTPUT_VARIABLE _kalvenor_branch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    foreach(_kalvenor_ref HEAD packed-refs ${_kalvenor_branch})
      execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --git-path ${_kalvenor_ref} WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                      OUTPUT_VARIABLE _kalvenor_path OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      get_filename_component(_kalvenor_path "${_kalvenor_path}" ABSOLUTE BASE_DIR ${CMAKE_SOURCE_DIR})
      if(EXISTS "${_kalvenor_path}")
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_kalvenor_path}")
      endif()
    endforeach()
  endif()
endif()

# "75-real;120-virtual" reads "sm_75 + PTX compute_120"; a plain "90" is both.
set(KALVENOR_ARCHITECTURES_TEXT "")
if(KALVENOR_CUDA)
  set(_kalvenor_real "")
  set(_kalvenor_ptx "")
  foreach(_kalvenor_arch IN LISTS CMAKE_CUDA_ARCHITECTURES)
    if(_kalvenor_arch MATCHES "^([0-9]+[af]?)-real$")
      list(APPEND _kalvenor_real sm_${CMAKE_MATCH_1})
    elseif(_kalvenor_arch MATCHES "^([0-9]+[af]?)-virtual$")
      list(APPEND _kalvenor_ptx compute_${CMAKE_MATCH_1})
    elseif(_kalvenor_arch MATCHES "^[0-9]+[af]?$")
      list(APPEND _kalvenor_real sm_${_kalvenor_arch})
      list(APPEND _kalvenor_ptx compute_${_kalvenor_arch})
    else()
      list(APPEND _kalvenor_real ${_kalvenor_arch})  # native, all, all-major
    endif()
  endforeach()
  list(JOIN _kalvenor_real " " KALVENOR_ARCHITECTURES_TEXT)
  if(_kalvenor_ptx)
    list(JOIN _kalvenor_ptx " " _kalvenor_ptx)
    string(APPEND KALVENOR_ARCHITECTURES_TEXT " + PTX ${_kalvenor_ptx}")
  endif()
endif()

configure_file(${CMAKE_SOURCE_DIR}/src/common/build_info.cpp.in ${CMAKE_BINARY_DIR}/build_info.cpp @ONLY)

# The version lives in the source too (src/common/version.h, for every
# record the program writes); a release must not name two.
file(STRINGS ${CMAKE_SOURCE_DIR}/src/common/version.h _kalvenor_version_line REGEX "kVersionText = ")
if(NOT _kalvenor_version_line MATCHES "\"${PROJECT_VERSION}\"")
  message(FATAL_ERROR "src/common/version.h does not say version ${PROJECT_VERSION} as project() does")
endif()
