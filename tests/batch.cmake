# nerido-batch: its pieces in-process, the program end to end, and the CSV
# fuzz target replayed over its seed corpus. Included by tests/CMakeLists.txt.
if(NOT TARGET nerido_batch)
  return()
endif()

nerido_gtest(batch_test batch_test.cpp)
target_link_libraries(batch_test PRIVATE nerido_batch)

nerido_gtest(batch_program_test batch_program_test.cpp)
target_compile_definitions(batch_program_test PRIVATE
  NERIDO_BATCH_PROGRAM="$<TARGET_FILE:nerido-batch>" NERIDO_PROJECT_VERSION="${PROJECT_VERSION}")
add_dependencies(batch_program_test nerido-batch)

if(nerido_have_retrieval)
  nerido_gtest(batch_retrieve_test batch_retrieve_test.cpp)
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
