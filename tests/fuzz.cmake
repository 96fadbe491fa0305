# The parsers' native fuzzing (tools/fuzz.sh): built with clang into build/fuzz, the
# UTF-8 stand-in held to Wine's answers, and each target for a few seconds over its
# corpus. A finding fails the test; its input is left in build/fuzz/findings/.
set(TARSIN_FUZZ_ENV "TARSIN_FUZZ_DIR=${CMAKE_BINARY_DIR}/fuzz")
add_test(NAME fuzz_native_build COMMAND bash ${PROJECT_SOURCE_DIR}/tools/fuzz.sh build)
set_tests_properties(fuzz_native_build PROPERTIES FIXTURES_SETUP fuzz_native TIMEOUT 600
  ENVIRONMENT ${TARSIN_FUZZ_ENV})
add_test(NAME fuzz_utf8_standin COMMAND bash ${PROJECT_SOURCE_DIR}/tools/fuzz.sh check)
foreach(target manifest state_text lines statement)
  add_test(NAME fuzz_${target} COMMAND bash ${PROJECT_SOURCE_DIR}/tools/fuzz.sh smoke ${target} 10)
endforeach()
set_tests_properties(fuzz_utf8_standin fuzz_manifest fuzz_state_text fuzz_lines fuzz_statement PROPERTIES
  FIXTURES_REQUIRED fuzz_native TIMEOUT 120 ENVIRONMENT ${TARSIN_FUZZ_ENV})
