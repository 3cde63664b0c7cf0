# The library as it was at a fixed commit, built beside today's so that
# tests and benchmarks can put the two side by side: the shared library
# target `searchdb_reference`, built from the sources of that commit the way
# the real one is (hidden visibility, only the searchdb_* functions
# exported), to be loaded with dlopen so that its symbols never meet those
# of the library under test.
#
# After inclusion:
#   SEARCHDB_REFERENCE_FOUND   true when the target exists
#   SEARCHDB_REFERENCE_REASON  why it does not (a sentence for a skip message)
#   SEARCHDB_REFERENCE_COMMIT  the commit the reference is built from
#
# The sources are taken from the source tree's git history at configure
# time, into <build>/reference/; a tree without git or without that commit
# (an exported tarball, a shallow clone) gets no target, and users say why
# instead of failing. Any directory may include this file; the target is
# made once and later includes only set the variables.
if(TARGET searchdb_reference)
  set(SEARCHDB_REFERENCE_FOUND TRUE)
  set(SEARCHDB_REFERENCE_REASON "")
  return()
endif()

set(SEARCHDB_REFERENCE_COMMIT 3cfe69e CACHE STRING
    "Commit whose library serves as the reference for differential tests and benchmarks")

set(SEARCHDB_REFERENCE_FOUND FALSE)
set(SEARCHDB_REFERENCE_REASON "")
set(_ref_dir ${PROJECT_BINARY_DIR}/reference)

find_package(Git QUIET)
if(NOT Git_FOUND)
  set(SEARCHDB_REFERENCE_REASON "git was not found when the build was configured")
else()
  # The checkout may belong to another user than the one building (CI runs
  # as root): reading it is all that is done here, so ownership is not asked.
  set(_ref_git ${GIT_EXECUTABLE} -c safe.directory=* -C ${PROJECT_SOURCE_DIR})
  # A tree unpacked inside another checkout must not take that one's history.
  execute_process(COMMAND ${_ref_git} rev-parse --show-toplevel
                  OUTPUT_VARIABLE _ref_top RESULT_VARIABLE _ref_rc
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  file(REAL_PATH "${PROJECT_SOURCE_DIR}" _ref_source)
  if(_ref_rc EQUAL 0 AND NOT _ref_top STREQUAL "")
    file(REAL_PATH "${_ref_top}" _ref_top)
  endif()
  execute_process(COMMAND ${_ref_git} rev-parse --verify --quiet
                          "${SEARCHDB_REFERENCE_COMMIT}^{commit}"
                  OUTPUT_VARIABLE _ref_full RESULT_VARIABLE _ref_rc
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT _ref_top STREQUAL _ref_source OR NOT _ref_rc EQUAL 0 OR _ref_full STREQUAL "")
    set(SEARCHDB_REFERENCE_REASON
        "the source tree ${PROJECT_SOURCE_DIR} is not a git checkout holding commit ${SEARCHDB_REFERENCE_COMMIT}")
  endif()
endif()

if(SEARCHDB_REFERENCE_REASON STREQUAL "")
  # Extracted once per commit: extracting again would touch every source
  # and rebuild the reference at each configure.
  set(_ref_stamp ${_ref_dir}/.commit)
  set(_ref_have "")
  if(EXISTS ${_ref_stamp})
    file(READ ${_ref_stamp} _ref_have)
  endif()
  if(NOT _ref_have STREQUAL _ref_full)
    file(REMOVE_RECURSE ${_ref_dir})
    file(MAKE_DIRECTORY ${_ref_dir})
    execute_process(COMMAND ${_ref_git} archive --format=tar -o ${_ref_dir}/sources.tar
                            ${_ref_full} include src
                    RESULT_VARIABLE _ref_rc ERROR_VARIABLE _ref_err)
    if(_ref_rc EQUAL 0)
      file(ARCHIVE_EXTRACT INPUT ${_ref_dir}/sources.tar DESTINATION ${_ref_dir})
      file(REMOVE ${_ref_dir}/sources.tar)
      file(WRITE ${_ref_stamp} ${_ref_full})
    else()
      set(SEARCHDB_REFERENCE_REASON
          "git archive of commit ${SEARCHDB_REFERENCE_COMMIT} failed: ${_ref_err}")
    endif()
  endif()
endif()

if(SEARCHDB_REFERENCE_REASON STREQUAL "")
  file(GLOB_RECURSE _ref_sources ${_ref_dir}/src/*.cc)
  add_library(searchdb_reference SHARED ${_ref_sources})
  set_target_properties(searchdb_reference PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    LIBRARY_OUTPUT_DIRECTORY ${_ref_dir}/lib)
  target_include_directories(searchdb_reference PRIVATE ${_ref_dir}/include ${_ref_dir}/src)
  target_link_libraries(searchdb_reference PRIVATE PkgConfig::YYJSON m)
  # Its own calls stay inside it, whatever else the process has loaded.
  target_link_options(searchdb_reference PRIVATE -Wl,-Bsymbolic -Wl,--no-undefined)
  set(SEARCHDB_REFERENCE_FOUND TRUE)
else()
  message(STATUS "No reference library: ${SEARCHDB_REFERENCE_REASON}")
endif()
