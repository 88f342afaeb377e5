# The libFuzzer targets: each tests/fuzz/<name>.cpp is an executable fuzz/<name>.
# The runtime libraries they call are built with AddressSanitizer, UndefinedBehavior-
# Sanitizer and libFuzzer's coverage, so that the fuzzers see into them. Build with
# clang in a directory of its own (make fuzz-build), and only the `fuzzers` target.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "HALVORA_FUZZ needs clang (CC=clang CXX=clang++)")
endif()

set(fuzz_sanitize -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g)
foreach(library zesim fnlog zecm zeme zecl zece zeml)
  target_compile_options(${library} PRIVATE ${fuzz_sanitize} -fsanitize=fuzzer-no-link)
  target_link_options(${library} PRIVATE -fsanitize=address,undefined)
endforeach()

set(fuzz_dir ${CMAKE_SOURCE_DIR}/tests/fuzz)
set(module_src ${CMAKE_SOURCE_DIR}/bindings/zeme)
add_custom_target(fuzzers)

# fuzz_target(name source... LIBRARIES library...)
function(fuzz_target name)
  cmake_parse_arguments(FUZZ "" "" "SOURCES;LIBRARIES" ${ARGN})
  add_executable(${name} ${fuzz_dir}/${name}.cpp ${FUZZ_SOURCES})
  target_include_directories(${name} PRIVATE ${fuzz_dir} ${module_src} ${CMAKE_SOURCE_DIR}/bindings
                                             ${API_INCLUDE} ${CMAKE_SOURCE_DIR}/runtime)
  target_compile_options(${name} PRIVATE ${fuzz_sanitize} -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(${name} PRIVATE ${FUZZ_LIBRARIES})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
  add_dependencies(fuzzers ${name})
endfunction()

fuzz_target(jpeg_file SOURCES ${module_src}/jpeg_file.cpp)
fuzz_target(h264_file SOURCES ${module_src}/h264_file.cpp)
fuzz_target(frame_copy SOURCES ${module_src}/frame_layout.cpp LIBRARIES zecm zeme)
fuzz_target(stream_copy SOURCES ${module_src}/frame_layout.cpp LIBRARIES zecm zeme)
fuzz_target(inventory LIBRARIES zesim)
fuzz_target(cm_options LIBRARIES zecm)
fuzz_target(onnx_model LIBRARIES zecm zecl)
fuzz_target(h264_decoder LIBRARIES zecm zeme)
fuzz_target(hevc_decoder LIBRARIES zecm zeme)
fuzz_target(jpeg_decoder LIBRARIES zecm zeme)
