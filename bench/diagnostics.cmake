# Included from bench/CMakeLists.txt: the diagnostics benchmarks. They reach internal seams, so
# they link the library's objects rather than the shared library.

# Stands in for the log tool: writes numbered lines, then waits for SIGTERM.
add_executable(log_producer ${CMAKE_CURRENT_LIST_DIR}/log_producer.cpp)
tessaline_warnings(log_producer)

add_executable(log_capture_bench ${CMAKE_CURRENT_LIST_DIR}/log_capture_bench.cpp)
target_link_libraries(log_capture_bench PRIVATE tessaline_objects)
target_compile_definitions(log_capture_bench PRIVATE
  TESSALINE_BENCH_PRODUCER="$<TARGET_FILE:log_producer>")
add_dependencies(log_capture_bench log_producer)
tessaline_warnings(log_capture_bench)

add_executable(crash_scan_bench ${CMAKE_CURRENT_LIST_DIR}/crash_scan_bench.cpp)
target_link_libraries(crash_scan_bench PRIVATE tessaline_objects)
tessaline_warnings(crash_scan_bench)

add_executable(redaction_bench ${CMAKE_CURRENT_LIST_DIR}/redaction_bench.cpp)
target_link_libraries(redaction_bench PRIVATE tessaline_objects PkgConfig::RE2)
tessaline_warnings(redaction_bench)
