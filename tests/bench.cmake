# The benchmark's Windows programs (the ceiling and the keeper of Wine's desktop), the
# tests of its own logic, and a smoke run of the whole benchmark on the "tiny" data set
# so that `make bench` keeps working between its real runs.
add_executable(ceiling ${PROJECT_SOURCE_DIR}/bench/ceiling.cpp)
target_include_directories(ceiling PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(ceiling PRIVATE winhttp bcrypt)
target_link_options(ceiling PRIVATE -municode)
add_executable(hold_desktop WIN32 ${PROJECT_SOURCE_DIR}/bench/hold_desktop.cpp)
target_link_options(hold_desktop PRIVATE -municode)
foreach(program ceiling hold_desktop)
  set_target_properties(${program} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
  tarsin_warnings(${program})
endforeach()

add_test(NAME bench_test COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/bench_test.py -v)
add_test(NAME bench_smoke
  COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/bench/run.py --build ${CMAKE_BINARY_DIR}
          --sets tiny --runs 1 --work ${CMAKE_BINARY_DIR}/bench-smoke --check
          --also "again=${CMAKE_BINARY_DIR}/TarsinLauncher.exe")
set_tests_properties(bench_test bench_smoke PROPERTIES TIMEOUT 120 ENVIRONMENT "PYTHONDONTWRITEBYTECODE=1")

# The launcher without flushes, for the benchmark only: its own FlushFileData comes before the
# library's, which is then never linked in (transfer/file_flush.cpp).
tarsin_launcher(TarsinLauncherNoFlush "${TARSIN_LIST_PUBLIC_KEY}")
target_sources(TarsinLauncherNoFlush PRIVATE ${PROJECT_SOURCE_DIR}/bench/no_flush.cpp)
set_target_properties(TarsinLauncherNoFlush PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
