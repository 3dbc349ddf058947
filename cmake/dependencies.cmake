find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(nlohmann_json 3 REQUIRED)
find_package(PNG REQUIRED)
find_package(JPEG REQUIRED)
pkg_check_modules(XXHASH REQUIRED IMPORTED_TARGET libxxhash)
pkg_check_modules(OPENBLAS REQUIRED IMPORTED_TARGET openblas)
find_package(dnnl REQUIRED CONFIG)

add_library(vexa_deps_core INTERFACE)
target_link_libraries(vexa_deps_core INTERFACE nlohmann_json::nlohmann_json PkgConfig::XXHASH Threads::Threads)

add_library(vexa_deps_blas INTERFACE)
# gomp: Debian's oneDNN runs on GNU OpenMP; the GEMM wrapper pins it to one thread per worker.
target_link_libraries(vexa_deps_blas INTERFACE PkgConfig::OPENBLAS DNNL::dnnl gomp)

add_library(vexa_deps_image INTERFACE)
target_link_libraries(vexa_deps_image INTERFACE PNG::PNG JPEG::JPEG)
