# The update engine: decisions driven directly, and whole update runs against the test server.

# A 256 MiB tmpfs (only when the tests run as root) for the free-space guard; one test at a
# time, since each measures the free space it leaves.
set(TARSIN_SMALL_VOLUME ${CMAKE_BINARY_DIR}/small-volume)
add_test(NAME small_volume_mount COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/small_volume.sh mount ${TARSIN_SMALL_VOLUME})
add_test(NAME small_volume_unmount COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/small_volume.sh unmount ${TARSIN_SMALL_VOLUME})
set_tests_properties(small_volume_mount PROPERTIES FIXTURES_SETUP small_volume)
set_tests_properties(small_volume_unmount PROPERTIES FIXTURES_CLEANUP small_volume)
function(needs_small_volume)
  foreach(test ${ARGN})
    set_property(TEST ${test} APPEND PROPERTY FIXTURES_REQUIRED small_volume)
    set_property(TEST ${test} APPEND PROPERTY RESOURCE_LOCK small_volume)
    set_property(TEST ${test} APPEND PROPERTY ENVIRONMENT "TARSIN_SMALL_VOLUME=${TARSIN_SMALL_VOLUME}")
  endforeach()
endfunction()

tarsin_platform_test(plan_test tarsin_update)
tarsin_platform_test(guards_test tarsin_update)
tarsin_platform_test(install_test tarsin_update)
tarsin_platform_test(self_update_test tarsin_update)
tarsin_platform_test(run_test tarsin_update)
add_dependencies(run_test stand_in)
add_dependencies(install_test stand_in)
needs_small_volume(guards_test run_test download_test)
tarsin_test(list_statement_test tarsin_update)
foreach(name fetch_list_test records_test ownership_test clear_way_test accepted_statement_test)
  tarsin_test(${name} tarsin_update)
endforeach()
