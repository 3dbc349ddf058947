# vexa_component(name folder DEPS ... [EXCLUDE_MAINS])
# A static library of every .cpp/.c under the folder (no main programs), or an interface
# library while the folder is still empty.
function(vexa_component name folder)
  cmake_parse_arguments(ARG "EXCLUDE_MAINS" "" "DEPS" ${ARGN})
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS
       ${CMAKE_SOURCE_DIR}/${folder}/*.cpp ${CMAKE_SOURCE_DIR}/${folder}/*.c)
  list(FILTER srcs EXCLUDE REGEX ".*_main\\.cpp$")
  # ISA files carry their own flags: foo_avx2.cpp is built with AVX2/FMA/F16C, foo_avx512.cpp with AVX-512.
  # Under the sanitizers and the fuzz build they build at -O1: their force-unrolled intrinsic
  # templates take minutes per file at -O2 with instrumentation (the depthwise kernels 4-7
  # minutes each), seconds at -O1. In the fuzz build they keep ASan and coverage but not UBSan,
  # which alone doubles their time under clang (the depthwise kernels about nine CPU minutes
  # each with it, under five without); CI's sanitizer build checks them for undefined behaviour.
  set(isa_opt "")
  if(VEXA_SANITIZE OR VEXA_TSAN)
    set(isa_opt "-O1;")
  elseif(VEXA_FUZZ)
    set(isa_opt "-O1;-fno-sanitize=undefined;")
  endif()
  foreach(src ${srcs})
    if(src MATCHES "_avx2\\.cpp$")
      set_source_files_properties(${src} PROPERTIES COMPILE_OPTIONS "${isa_opt}-mavx2;-mfma;-mf16c")
    elseif(src MATCHES "_avx512\\.cpp$")
      set_source_files_properties(${src} PROPERTIES COMPILE_OPTIONS "${isa_opt}-mavx512f;-mavx512bw;-mavx512vl;-mavx512dq;-mfma;-mf16c")
    endif()
  endforeach()
  if(srcs)
    add_library(${name} STATIC ${srcs})
    target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/include)
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/include)
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
  endif()
endfunction()
