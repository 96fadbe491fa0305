# The source tree's own checks, no build needed: sizes, the include graph, and the README's
# list of files and docs/testing.md's table of entries against the tree.
add_test(NAME check_sizes COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tools/check_sizes.py)
add_test(NAME check_includes COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tools/check_includes.py)
add_test(NAME layout_doc_test COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/layout_doc_test.py -v)
set_tests_properties(layout_doc_test PROPERTIES
  ENVIRONMENT "TARSIN_BUILD_DIR=${CMAKE_BINARY_DIR};PYTHONDONTWRITEBYTECODE=1")
