# The performance benchmark (scripts/bench.sh builds and runs it; docs/performance.md).
# It measures the library against the simulated driver, so it belongs in a host tree
# without sanitizers, built for Release.
find_package(benchmark REQUIRED)
add_executable(merlox_bench ${PROJECT_SOURCE_DIR}/bench/MerloxBench.cpp)
merlox_internal_target(merlox_bench)
# The shared simulator's server, for the round trip through it.
target_link_libraries(merlox_bench PRIVATE merlox_sim_server)
merlox_link_host(merlox_bench)
target_link_libraries(merlox_bench PRIVATE benchmark::benchmark)

# A smoke run: every measurement once with tiny counts, to show the benchmark still
# works (`ctest -L benchmark` in build/bench). Its figures are not checked.
add_test(NAME benchmark_smoke COMMAND merlox_bench --quick)
set_tests_properties(benchmark_smoke PROPERTIES LABELS benchmark TIMEOUT 120)

# merloxd's monitoring endpoint: /metrics with 32 simulated cards and ten checks, and
# how late the guard feeds while it is scraped (no Google Benchmark: percentiles of
# single scrapes and feeds).
add_executable(merloxd_metrics_bench ${PROJECT_SOURCE_DIR}/bench/MetricsBench.cpp)
merlox_internal_target(merloxd_metrics_bench)
target_link_libraries(merloxd_metrics_bench PRIVATE merloxd_guard)
merlox_link_host(merloxd_metrics_bench)
add_test(NAME merloxd_metrics_bench_smoke COMMAND merloxd_metrics_bench --quick)
set_tests_properties(merloxd_metrics_bench_smoke PROPERTIES LABELS benchmark TIMEOUT 120)
