# The hostile-card fuzzer: libFuzzer drives the library through the simulated
# driver, whose replies, counts and errors come from the fuzzer's input. A tree of
# its own (build/fuzz, clang++, MERLOX_FUZZ=ON, MERLOX_SANITIZER=address): libFuzzer
# comes with clang only. The library and simulator are instrumented for coverage;
# the fuzzer's own main comes with the harness.
add_library(merlox_fuzz_core STATIC ${MERLOX_LIBRARY_SOURCES} src/platform/HostWin32.cpp)
merlox_library_target(merlox_fuzz_core)
add_library(merlox_fuzz_sim OBJECT ${MERLOX_SIM_HOST_SOURCES})
merlox_sim_target(merlox_fuzz_sim)
foreach(target merlox_fuzz_core merlox_fuzz_sim)
  target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-fsanitize=fuzzer-no-link>)
endforeach()
target_link_libraries(merlox_fuzz_core PUBLIC pthread)

add_executable(merlox_hostile_card_fuzzer tests/fuzz/HostileCardFuzzer.cpp)
merlox_internal_target(merlox_hostile_card_fuzzer)
target_compile_options(merlox_hostile_card_fuzzer PRIVATE -fsanitize=fuzzer)
target_link_options(merlox_hostile_card_fuzzer PRIVATE -fsanitize=fuzzer)
target_link_libraries(merlox_hostile_card_fuzzer PRIVATE merlox_fuzz_sim merlox_fuzz_core)

set(MERLOX_FUZZ_CORPUS ${PROJECT_SOURCE_DIR}/tests/fuzz/corpus)
set(MERLOX_FUZZ_WORK ${CMAKE_BINARY_DIR}/fuzz-corpus)
file(MAKE_DIRECTORY ${MERLOX_FUZZ_WORK})
# Every input kept in the repository, the crashes found once among them, runs
# again as a plain regression test.
add_test(NAME hostile_card_corpus COMMAND merlox_hostile_card_fuzzer -runs=0 ${MERLOX_FUZZ_CORPUS})
# A bounded fuzzing run: new inputs go to the build tree, the repository's corpus
# is only read. Copy what it finds into tests/fuzz/corpus to keep it.
add_test(NAME hostile_card_fuzz
         COMMAND merlox_hostile_card_fuzzer -max_total_time=30 -timeout=10 -rss_limit_mb=2048
                 -print_final_stats=1 ${MERLOX_FUZZ_WORK} ${MERLOX_FUZZ_CORPUS})
set_tests_properties(hostile_card_corpus hostile_card_fuzz PROPERTIES LABELS fuzz TIMEOUT 300)
