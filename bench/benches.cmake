# The benchmark programs (bench/*.cpp): they print figures as ratios to a floor measured
# in the same run and assert nothing. Not part of ctest; scripts/bench runs them.
add_executable(bench_query_latency ${CMAKE_CURRENT_LIST_DIR}/query_latency.cpp)
target_link_libraries(bench_query_latency PRIVATE qeld devsim_core CLI11::CLI11 nlohmann_json::nlohmann_json
                      tavrix_flags)

# The fleet-scale pair: one source, the idle flavour expects devices that stay silent to
# commands. The query calls are wrapped at link time to time every poll cycle.
foreach(flavour scale idle)
  add_executable(bench_${flavour} ${CMAKE_CURRENT_LIST_DIR}/monitor_run.cpp)
  target_link_libraries(bench_${flavour} PRIVATE tavrix_core CLI11::CLI11 nlohmann_json::nlohmann_json tavrix_flags)
  target_link_options(bench_${flavour} PRIVATE -Wl,--wrap=_ZN4qeld16query_port_modesEiiPi
                      -Wl,--wrap=_ZN4qeld22query_port_connectionsEiiPh)
endforeach()
target_compile_definitions(bench_idle PRIVATE BENCH_IDLE=1)

add_executable(bench_search ${CMAKE_CURRENT_LIST_DIR}/search.cpp)
target_link_libraries(bench_search PRIVATE qeld CLI11::CLI11 nlohmann_json::nlohmann_json tavrix_flags)

find_package(benchmark REQUIRED)
find_package(OpenSSL REQUIRED)
add_executable(bench_cipher ${CMAKE_CURRENT_LIST_DIR}/cipher.cpp)
target_link_libraries(bench_cipher PRIVATE qeld benchmark::benchmark OpenSSL::Crypto tavrix_flags)
