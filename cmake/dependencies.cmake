find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(nlohmann_json 3 REQUIRED)
find_package(PNG REQUIRED)
find_package(JPEG REQUIRED)
pkg_check_modules(XXHASH REQUIRED IMPORTED_TARGET libxxhash)
pkg_check_modules(OPENBLAS REQUIRED IMPORTED_TARGET openblas)
# oneDNN by its library and header, not its CMake package: Debian's package configuration
# looks for OpenCL (a development package libdnnl-dev only recommends), and we never use
# oneDNN's GPU runtime, only its CPU sgemm.
find_library(DNNL_LIBRARY NAMES dnnl REQUIRED)
find_path(DNNL_INCLUDE_DIR NAMES oneapi/dnnl/dnnl.h REQUIRED)
add_library(vexa_dnnl INTERFACE)
target_link_libraries(vexa_dnnl INTERFACE ${DNNL_LIBRARY})
target_include_directories(vexa_dnnl SYSTEM INTERFACE ${DNNL_INCLUDE_DIR})

add_library(vexa_deps_core INTERFACE)
target_link_libraries(vexa_deps_core INTERFACE nlohmann_json::nlohmann_json PkgConfig::XXHASH Threads::Threads)

add_library(vexa_deps_blas INTERFACE)
# gomp: Debian's oneDNN runs on GNU OpenMP; the GEMM wrapper pins it to one thread per worker.
target_link_libraries(vexa_deps_blas INTERFACE PkgConfig::OPENBLAS vexa_dnnl gomp)

add_library(vexa_deps_image INTERFACE)
target_link_libraries(vexa_deps_image INTERFACE PNG::PNG JPEG::JPEG)

# The tokenizer's code-point classes (letter, number, white space) come from ICU. The generative
# component is defined after this file is read, so the link is deferred to the end of the
# top-level directory.
find_package(ICU REQUIRED COMPONENTS uc data)
cmake_language(DEFER CALL target_link_libraries vexa_generative PUBLIC ICU::uc ICU::data)
