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

# Signing needs python3-cryptography, which Debian installs for /usr/bin/python3 only: a
# python3 earlier on PATH (pyenv) may lack it.
set(TARSIN_PYTHON ${Python3_EXECUTABLE})
execute_process(COMMAND ${Python3_EXECUTABLE} -c "import cryptography" RESULT_VARIABLE lacks_cryptography
                OUTPUT_QUIET ERROR_QUIET)
if(lacks_cryptography AND EXISTS /usr/bin/python3)
  set(TARSIN_PYTHON /usr/bin/python3)
endif()

function(system_test name)
  add_test(NAME ${name} COMMAND ${TARSIN_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/${name}.py -v)
  set_tests_properties(${name} PROPERTIES TIMEOUT 300
    ENVIRONMENT "TARSIN_BUILD_DIR=${CMAKE_BINARY_DIR};PYTHONDONTWRITEBYTECODE=1")
endfunction()

system_test(publish_test)
system_test(operator_doc_test)
system_test(operator_tool_test)
system_test(nginx_server_test)
system_test(system_test)
system_test(https_test)
system_test(wine_build_test)

# The quick form of the fault campaign (make torture runs the long one): a fixed seed,
# 40 steps with a settling after 20 and at the end, about half a minute of launcher runs.
add_test(NAME torture_quick COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/torture.py
  --seed 23 --steps 40 --settle-every 20 --stop-on-violation --work ${CMAKE_BINARY_DIR}/torture-quick)
set_tests_properties(torture_quick PROPERTIES TIMEOUT 300
  ENVIRONMENT "TARSIN_BUILD_DIR=${CMAKE_BINARY_DIR};PYTHONDONTWRITEBYTECODE=1")

# The launcher that takes only file lists signed with tests/system/list-test-key.pem: a key
# made for the tests and the demo, public in this repository, never one to publish with.
set(TARSIN_TEST_LIST_KEY 45f8beab3224002fb94693ee9425da1e98df69e60fae0aac7a8da5ebc90e02dde0d00462ea307d48a3def3a801756dfa28f7b409338a30e344b34b5fcf5d3aca)
tarsin_launcher(TarsinLauncherSigned ${TARSIN_TEST_LIST_KEY})
set_target_properties(TarsinLauncherSigned PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
add_dependencies(TarsinLauncherSigned TarsinLauncher)  # its icon is made for the launcher
system_test(signed_list_test)
# Configures and builds a launcher from a copy of the sources, with the line keygen prints.
system_test(keyed_build_test)
set_tests_properties(keyed_build_test PROPERTIES TIMEOUT 1200)

# The launcher's FileKey answering the fault campaign's "same file?" questions (tests/torture.py).
add_executable(file_key system/file_key.cpp)
target_link_libraries(file_key PRIVATE tarsin_support)
set_target_properties(file_key PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
tarsin_warnings(file_key)
