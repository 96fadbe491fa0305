# The application shell: its pure decisions as unit tests.
tarsin_test(command_line_test tarsin_app)
target_compile_definitions(command_line_test PRIVATE "TARSIN_SERVER_HOST=L\"${TARSIN_SERVER_HOST}\"")
tarsin_test(layout_test tarsin_app)
tarsin_test(dll_search_test tarsin_app)

# The window tests' eyes and hands: a console program that reads and presses the launcher's window.
add_executable(window_probe window_probe.cpp)
set_target_properties(window_probe PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
target_link_libraries(window_probe PRIVATE user32 gdi32 comctl32)
target_link_options(window_probe PRIVATE -municode)
tarsin_warnings(window_probe)

tarsin_test(worker_test tarsin_app)
tarsin_test(window_test tarsin_app)

# The executable end to end and its window, under Wine and Xvfb, each module with a test
# server of its own (tools/wine_harness.py, tests/server/test_server.py). One at a time: both
# use the private 144 dpi prefix, where "wineserver -w" waits for every program. Nor beside
# window_test: all three show windows in the build's prefix, which has one foreground window
# for all, and window_test and launcher_window_test check where the focus is.
foreach(name launcher_test launcher_window_test)
  add_test(NAME ${name} COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/${name}.py)
  set_tests_properties(${name} PROPERTIES TIMEOUT 400
    ENVIRONMENT "TARSIN_BUILD_DIR=${CMAKE_BINARY_DIR};PYTHONDONTWRITEBYTECODE=1")
endforeach()
set_tests_properties(launcher_test launcher_window_test window_test PROPERTIES RESOURCE_LOCK tarsin_app_prefix)

# A "winhttp.dll" and a "bcrypt.dll" of the tests' own, which leave a marker file when loaded:
# a mod's DLL in the game's folder must not run inside the launcher (launcher_test).
foreach(name winhttp bcrypt)
  add_library(planted_${name} SHARED system/planted_dll.cpp)
  set_target_properties(planted_${name} PROPERTIES OUTPUT_NAME ${name} PREFIX ""
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/planted)
  target_link_options(planted_${name} PRIVATE -Wl,--kill-at)
endforeach()

# A game file of 4.5 GiB through the executable: one unattended run, and a run cut inside the
# second range then resumed. It writes the file in full, so it skips when the disk has less
# than 10 GiB free; "ctest -LE big" leaves it out.
add_test(NAME big_file_test COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/big_file_test.py)
set_tests_properties(big_file_test PROPERTIES TIMEOUT 2400 LABELS big RESOURCE_LOCK tarsin_app_prefix
  SKIP_REGULAR_EXPRESSION "skipped 'needs"
  ENVIRONMENT "TARSIN_BUILD_DIR=${CMAKE_BINARY_DIR};PYTHONDONTWRITEBYTECODE=1")
