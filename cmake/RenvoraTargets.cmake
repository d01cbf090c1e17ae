# House settings for every target of ours: warnings are errors, sources are UTF-8,
# narrow literals become GBK (GB18030 is byte-identical for every character we write).
function(renvora_target_settings target)
  if(RENVORA_FUZZ)
    # The fuzz build is clang's (libFuzzer), and clang knows no execution charset but UTF-8: literals stay
    # UTF-8 there. Parsers do not depend on the literals' encoding, only message texts do (docs/hardening.md).
    target_compile_options(${target} PRIVATE -Wall -Wextra -g -fno-omit-frame-pointer
                                             -fsanitize=fuzzer-no-link,address,undefined
                                             -fno-sanitize-recover=undefined)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
    return()
  endif()
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Werror
    $<$<COMPILE_LANGUAGE:CXX>:-finput-charset=UTF-8 -fexec-charset=GB18030>
    $<$<COMPILE_LANGUAGE:C>:-finput-charset=UTF-8 -fexec-charset=GB18030>)
  # Full RELRO: the relocation tables are read-only before main runs (the programs are installed).
  target_link_options(${target} PRIVATE -Wl,-z,relro,-z,now)
  if(RENVORA_SANITIZE)
    target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-omit-frame-pointer
                                             -fno-sanitize-recover=undefined)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  endif()
endfunction()

# For code that goes into the packages and uses OpenSSL's allocation macros (OPENSSL_free, OPENSSL_memdup),
# which pass __FILE__: the source folder is mapped away, so the build machine's paths are not installed.
function(renvora_no_source_paths target)
  target_compile_options(${target} PRIVATE -fmacro-prefix-map=${PROJECT_SOURCE_DIR}/=)
endfunction()

# One test executable per test folder; every *.cpp in it is part of it.
# LABELS: CTest labels of its tests (`stack` for those that start external stacks); TIMEOUT: per test,
# in seconds (300).
function(renvora_add_test_folder name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "LIBS;LABELS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${name}/*.cpp)
  if(NOT srcs)
    return()
  endif()
  add_executable(test_${name} ${srcs})
  renvora_target_settings(test_${name})
  # renvora_test_main: every test program runs in a private home (tests/support/main).
  target_link_libraries(test_${name} PRIVATE renvora_test_support ${ARG_LIBS} GTest::gtest renvora_test_main)
  gtest_discover_tests(test_${name}
    DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen"
               TIMEOUT ${ARG_TIMEOUT} LABELS "${ARG_LABELS}")
endfunction()
