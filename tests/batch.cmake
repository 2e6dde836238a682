# nerido-batch: its pieces in-process, the program end to end, and the CSV
# fuzz target replayed over its seed corpus. Included by tests/CMakeLists.txt.
if(NOT TARGET nerido_batch)
  return()
endif()

nerido_gtest(batch_test THREADED batch_test.cpp)
target_link_libraries(batch_test PRIVATE nerido_batch)

nerido_gtest(batch_program_test THREADED batch_program_test.cpp)
target_compile_definitions(batch_program_test PRIVATE
  NERIDO_BATCH_PROGRAM="$<TARGET_FILE:nerido-batch>" NERIDO_PROJECT_VERSION="${PROJECT_VERSION}")
add_dependencies(batch_program_test nerido-batch)

if(nerido_have_retrieval)
  nerido_gtest(batch_retrieve_test THREADED batch_retrieve_test.cpp)
  target_link_libraries(batch_retrieve_test PRIVATE nerido_batch)
  target_compile_definitions(batch_retrieve_test PRIVATE
    NERIDO_BATCH_PROGRAM="$<TARGET_FILE:nerido-batch>")
  add_dependencies(batch_retrieve_test nerido-batch)
endif()

add_executable(csv_replay fuzz/csv_fuzz.cpp fuzz/replay_main.cpp)
target_link_libraries(csv_replay PRIVATE nerido_batch nerido_test_support)
add_test(NAME fuzz_corpus_csv COMMAND csv_replay ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/corpus/csv)
if(NERIDO_FUZZ)
  add_executable(csv_fuzz fuzz/csv_fuzz.cpp)
  target_link_libraries(csv_fuzz PRIVATE nerido_batch nerido_test_support)
  target_compile_options(csv_fuzz PRIVATE -fsanitize=fuzzer)
  target_link_options(csv_fuzz PRIVATE -fsanitize=fuzzer)
endif()

# The NetCDF reading, replayed over its seed corpus; libnetcdf's own
# allocations that outlive a failed open are not ours (LeakSanitizer
# suppressions).
if(TARGET nerido_flightfile)
  add_executable(netcdf_replay fuzz/netcdf_fuzz.cpp fuzz/replay_main.cpp)
  target_link_libraries(netcdf_replay PRIVATE nerido_batch nerido_test_support)
  add_test(NAME fuzz_corpus_netcdf
           COMMAND netcdf_replay ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/corpus/netcdf)
  set_tests_properties(fuzz_corpus_netcdf PROPERTIES ENVIRONMENT
    "LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_SOURCE_DIR}/fuzz/netcdf.lsan.supp")
  if(NERIDO_FUZZ)
    add_executable(netcdf_fuzz fuzz/netcdf_fuzz.cpp)
    target_link_libraries(netcdf_fuzz PRIVATE nerido_batch nerido_test_support)
    target_compile_options(netcdf_fuzz PRIVATE -fsanitize=fuzzer)
    target_link_options(netcdf_fuzz PRIVATE -fsanitize=fuzzer)
  endif()
endif()

if(TARGET nerido_flightfile AND nerido_have_retrieval)
  nerido_gtest(batch_netcdf_test batch_netcdf_test.cpp)
  target_link_libraries(batch_netcdf_test PRIVATE nerido_flightfile)
  target_compile_definitions(batch_netcdf_test PRIVATE
    NERIDO_BATCH_PROGRAM="$<TARGET_FILE:nerido-batch>")
  add_dependencies(batch_netcdf_test nerido-batch)
endif()
