# The whole system: the publishing tool, the nginx site, and the launcher under
# Wine against it. The Python tests find the build through TARSIN_BUILD_DIR.

# Makes a Wine prefix trust the test certificate authority (tests/https_test.py, the demo).
add_executable(trust_root system/trust_root.cpp)
target_include_directories(trust_root PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(trust_root PRIVATE crypt32)
target_link_options(trust_root PRIVATE -municode)
set_target_properties(trust_root PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
tarsin_warnings(trust_root)

# Holds a file open without sharing for the fault campaign (tests/torture.py, make torture).
add_executable(hold_file system/hold_file.cpp)
target_link_options(hold_file PRIVATE -municode)
set_target_properties(hold_file PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
tarsin_warnings(hold_file)

function(system_test name)
  add_test(NAME ${name} COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/${name}.py -v)
  set_tests_properties(${name} PROPERTIES TIMEOUT 300
    ENVIRONMENT "TARSIN_BUILD_DIR=${CMAKE_BINARY_DIR};PYTHONDONTWRITEBYTECODE=1")
endfunction()

system_test(publish_test)
system_test(operator_doc_test)
system_test(nginx_server_test)
system_test(system_test)
system_test(https_test)

# The quick form of the fault campaign (make torture runs the long one): a fixed seed,
# 40 steps with a settling after 20 and at the end, about half a minute of launcher runs.
add_test(NAME torture_quick COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/torture.py
  --seed 23 --steps 40 --settle-every 20 --stop-on-violation --work ${CMAKE_BINARY_DIR}/torture-quick)
set_tests_properties(torture_quick PROPERTIES TIMEOUT 300
  ENVIRONMENT "TARSIN_BUILD_DIR=${CMAKE_BINARY_DIR};PYTHONDONTWRITEBYTECODE=1")
