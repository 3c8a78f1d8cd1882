# The fuzzing harnesses. Each harness is built twice:
#  - with the tests, linked to a plain main that replays the harness's corpus
#    (fuzz/corpus/NAME), so every saved input is a regression test of the
#    ordinary build, with any compiler;
#  - with ZEL_FUZZ=ON (clang only), as a libFuzzer target zel_fuzz_NAME, whose
#    dictionary is fuzz/dict/NAME.dict. Build it with ZEL_SANITIZE=ON as well,
#    as tools/quality.sh does, so memory and undefined-behaviour faults stop it.
set(ZEL_FUZZ_HARNESSES site_properties actor run)
set(ZEL_FUZZ_DIR ${CMAKE_CURRENT_LIST_DIR})
option(ZEL_FUZZ "Build the libFuzzer harnesses (clang)" OFF)
# The run harness checks each digest and signature against libcrypto's.
if(ZEL_BUILD_TESTS OR ZEL_FUZZ)
  find_package(OpenSSL 3 REQUIRED)
endif()

if(ZEL_BUILD_TESTS)
  foreach(harness IN LISTS ZEL_FUZZ_HARNESSES)
    add_executable(zel_replay_${harness} ${ZEL_FUZZ_DIR}/${harness}_fuzz.cc
                                         ${ZEL_FUZZ_DIR}/replay_main.cc)
    target_link_libraries(zel_replay_${harness} PRIVATE zel_cli OpenSSL::Crypto)
    add_test(NAME fuzz_corpus_${harness}
             COMMAND zel_replay_${harness} ${ZEL_FUZZ_DIR}/corpus/${harness})
  endforeach()
endif()

if(ZEL_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "ZEL_FUZZ needs clang, whose libFuzzer the harnesses link")
  endif()
  # The core, with its signing, is what is explored: it gets libFuzzer's coverage instrumentation.
  target_compile_options(zel_cli PRIVATE -fsanitize=fuzzer-no-link)
  target_compile_options(zel_sign PRIVATE -fsanitize=fuzzer-no-link)
  foreach(harness IN LISTS ZEL_FUZZ_HARNESSES)
    add_executable(zel_fuzz_${harness} ${ZEL_FUZZ_DIR}/${harness}_fuzz.cc)
    target_compile_options(zel_fuzz_${harness} PRIVATE -fsanitize=fuzzer)
    target_link_options(zel_fuzz_${harness} PRIVATE -fsanitize=fuzzer)
    target_link_libraries(zel_fuzz_${harness} PRIVATE zel_cli OpenSSL::Crypto)
  endforeach()
endif()
