# `searchdb serve`: the HTTP server (on libmicrohttpd), its search page carried
# inside the binary, and their tests. Included by tools/CMakeLists.txt once
# the tool's target exists.
pkg_check_modules(MICROHTTPD QUIET IMPORTED_TARGET "libmicrohttpd>=0.9.75")
if(NOT MICROHTTPD_FOUND)
  message(FATAL_ERROR "the searchdb tool's serve command needs libmicrohttpd 0.9.75 or later "
                      "(with pkg-config). On Debian 12 run scripts/bootstrap; elsewhere install "
                      "it from the system's package manager, or configure with -DSEARCHDB_TOOL=OFF.")
endif()
find_package(Threads REQUIRED)

set(serve_page_inputs "")
set(serve_page_sources "")
foreach(kind html css js)
  set(source ${CMAKE_CURRENT_SOURCE_DIR}/serve_page.${kind})
  list(APPEND serve_page_sources ${source})
  if(serve_page_inputs)
    string(APPEND serve_page_inputs "|")
  endif()
  string(APPEND serve_page_inputs "serve_page_${kind}=${source}")
endforeach()
set(serve_page_data ${CMAKE_CURRENT_BINARY_DIR}/serve_page_data.cc)
add_custom_command(OUTPUT ${serve_page_data}
  COMMAND ${CMAKE_COMMAND} -DOUTPUT=${serve_page_data} -DINPUTS=${serve_page_inputs}
          -P ${CMAKE_CURRENT_SOURCE_DIR}/serve_embed.cmake
  DEPENDS ${serve_page_sources} ${CMAKE_CURRENT_SOURCE_DIR}/serve_embed.cmake
  COMMENT "Embedding the search page"
  VERBATIM)

target_sources(searchdb_cli PRIVATE serve.cc serve_http.cc serve_routes.cc serve_worker.cc
                                    ${serve_page_data})
# libmicrohttpd's headers only: the library itself is opened when a server
# starts.
searchdb_library_soname(microhttpd_soname MICROHTTPD)
target_compile_definitions(searchdb_cli PRIVATE SEARCHDB_MICROHTTPD_SONAME="${microhttpd_soname}")
target_include_directories(searchdb_cli SYSTEM PRIVATE ${MICROHTTPD_INCLUDE_DIRS})
target_compile_options(searchdb_cli PRIVATE ${MICROHTTPD_CFLAGS_OTHER})
target_link_libraries(searchdb_cli PRIVATE Threads::Threads)

# The API over HTTP against the library's own answers, and the page in a real
# browser. Both run the tool from the build tree.
if(SEARCHDB_TESTS)
  find_package(Python3 COMPONENTS Interpreter)
  if(Python3_Interpreter_FOUND)
    # A second process that changes the store while the server answers, and
    # records what the library answers after each of its changes.
    add_executable(serve_writer ${PROJECT_SOURCE_DIR}/tests/serve_writer.cc)
    target_link_libraries(serve_writer PRIVATE searchdb PkgConfig::YYJSON)
    add_test(NAME serve
      COMMAND Python3::Interpreter -B ${PROJECT_SOURCE_DIR}/tests/serve_test.py -v)
    set_tests_properties(serve PROPERTIES
      ENVIRONMENT "SEARCHDB_CLI=$<TARGET_FILE:searchdb_cli>;SEARCHDB_SERVE_WRITER=$<TARGET_FILE:serve_writer>;SEARCHDB_BOOKS=${PROJECT_SOURCE_DIR}/examples/data/books.json"
      TIMEOUT 900)
    add_test(NAME serve_browser
      COMMAND Python3::Interpreter -B ${PROJECT_SOURCE_DIR}/tests/serve_browser_test.py -v)
    set_tests_properties(serve_browser PROPERTIES
      ENVIRONMENT "SEARCHDB_CLI=$<TARGET_FILE:searchdb_cli>;SEARCHDB_BOOKS=${PROJECT_SOURCE_DIR}/examples/data/books.json;SEARCHDB_SCREENSHOT_DIR=${PROJECT_BINARY_DIR}"
      TIMEOUT 300)
  endif()
endif()
