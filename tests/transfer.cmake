# The test server's client side, for every area's integration tests.
add_library(tarsin_test_server STATIC support/server_client.cpp)
target_link_libraries(tarsin_test_server PUBLIC tarsin_testing tarsin_transfer winhttp)
tarsin_warnings(tarsin_test_server)

# tarsin_platform_test(name LIBS...): tests/name.cpp with a main that opens the SHA-256
# provider and the HTTP session first, run with the test server up.
function(tarsin_platform_test name)
  add_executable(${name} ${name}.cpp ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/support/platform_main.cpp)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  target_link_libraries(${name} PRIVATE tarsin_test_server ${ARGN} GTest::gtest)
  tarsin_warnings(${name})
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT 300)
  needs_server(${name})
endfunction()

tarsin_platform_test(http_test tarsin_transfer ws2_32)
tarsin_platform_test(sha256_test tarsin_transfer)
tarsin_platform_test(download_test tarsin_transfer tarsin_update)  # the player's words for a failure
tarsin_test(progress_test tarsin_transfer)
tarsin_test(flush_queue_test tarsin_transfer)

# Not a test: the download path's speed against a plain loop (tests/download_bench.sh).
add_executable(download_bench EXCLUDE_FROM_ALL download_bench.cpp)
set_target_properties(download_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
target_link_libraries(download_bench PRIVATE tarsin_transfer winhttp bcrypt)
target_link_options(download_bench PRIVATE -municode)
tarsin_warnings(download_bench)

# The test server's own checks, on the build machine.
add_test(NAME test_server_test COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/server/test_server_test.py)
set_tests_properties(test_server_test PROPERTIES TIMEOUT 120)
