# nerido-batch's benchmarks and the recorder of the model's calls for
# model_bench. Included by bench/CMakeLists.txt.

# Writes bench/recorded_calls.inc (never run by the build):
#   build/bench/record_calls > bench/recorded_calls.inc
add_executable(record_calls record_calls.cpp
  ${PROJECT_SOURCE_DIR}/src/emissivity/sea_water.cpp
  ${PROJECT_SOURCE_DIR}/src/emissivity/kleinswift.cpp
  ${PROJECT_SOURCE_DIR}/src/radiance/tbvanto.cpp
  ${PROJECT_SOURCE_DIR}/src/nerido/scene.cpp)
target_include_directories(record_calls PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_compile_options(record_calls PRIVATE -fno-builtin-sqrt)
target_link_libraries(record_calls PRIVATE nerido_options)
target_link_options(record_calls PRIVATE
  -Wl,--wrap=exp,--wrap=cos,--wrap=sin,--wrap=sincos,--wrap=sqrt,--wrap=atan2,--wrap=pow)

if(NOT TARGET nerido_batch)
  return()
endif()

#   build/bench/batch_bench   (the row's stages, and the scene API in memory)
add_executable(batch_bench batch_bench.cpp)
target_link_libraries(batch_bench PRIVATE nerido_batch benchmark::benchmark)
