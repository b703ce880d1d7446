# libFuzzer targets (clang): every tests/fuzz/fuzz_*.cpp, with the portable core instrumented.
file(GLOB TREL_FUZZ_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/fuzz/fuzz_*.cpp)
target_compile_options(trelcore PRIVATE -fsanitize=fuzzer-no-link,address,undefined)
target_compile_options(trelline PRIVATE -fsanitize=fuzzer-no-link,address,undefined)
foreach(src ${TREL_FUZZ_SOURCES})
  get_filename_component(name ${src} NAME_WE)
  add_executable(${name} ${src})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(${name} PRIVATE trelcore trelline)
  # A short run over the seed corpus: part of the test tiers.
  add_test(NAME fuzz.${name}
           COMMAND ${CMAKE_SOURCE_DIR}/scripts/fuzz-run.sh $<TARGET_FILE:${name}> ${CMAKE_SOURCE_DIR}/tests/fuzz/corpus/${name}
)
  set_tests_properties(fuzz.${name} PROPERTIES LABELS fuzz TIMEOUT 1200)
endforeach()
