# Load test of tessaline-service on loopback against its own store without HTTP (service_bench).
if(TARGET tessaline-service)
  if(NOT TARGET PkgConfig::CPPHTTPLIB)
    pkg_check_modules(CPPHTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
  endif()
  add_executable(service_bench service_bench.cpp)
  target_link_libraries(service_bench PRIVATE tessaline_service_core tessaline
                                              PkgConfig::CPPHTTPLIB nlohmann_json::nlohmann_json)
  target_compile_definitions(service_bench PRIVATE
    TESSALINE_SERVICE_BINARY="$<TARGET_FILE:tessaline-service>"
    TESSALINE_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  tessaline_warnings(service_bench)
  add_dependencies(service_bench tessaline-service)
endif()

# The dashboard's report list on a million generated reports (dashboard_bench).
if(TARGET tessaline_dashboard)
  add_executable(dashboard_bench dashboard_bench.cpp)
  target_link_libraries(dashboard_bench PRIVATE tessaline_dashboard tessaline_service_core tessaline
                                                PkgConfig::CPPHTTPLIB)
  target_compile_definitions(dashboard_bench PRIVATE TESSALINE_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  tessaline_warnings(dashboard_bench)
endif()
