# pallix_add_fuzzer(NAME name SOURCES ... [DEPENDS header ...] [INCLUDES dir ...]
#                   [LIBS target ...] [LINK_FLAGS flag ...] [SEEDS dir])
#
# A libFuzzer target over SOURCES, with AddressSanitizer and UBSan. libFuzzer
# ships with clang only: under clang the target is an ordinary executable
# linked with LIBS; under another compiler clang++ builds SOURCES directly
# (so every source the target needs is listed, and LINK_FLAGS names its
# system libraries), or the target is left out when clang++ is missing.
#
# Each fuzzer also runs as the CTest `fuzz_<name>` for PALLIX_FUZZ_SECONDS,
# from the seeds in SEEDS and the corpus it grew in earlier runs of this
# build tree. The sanitizer build leaves the runs out: the fuzzers carry
# their own sanitizers and one run per CI pass is enough.
set(PALLIX_FUZZ_SECONDS 30 CACHE STRING "How long CTest runs each fuzz target")
find_program(PALLIX_CLANGXX NAMES clang++ clang++-14)

function(pallix_add_fuzzer)
  cmake_parse_arguments(F "" "NAME;SEEDS" "SOURCES;DEPENDS;INCLUDES;LIBS;LINK_FLAGS" ${ARGN})
  if(PALLIX_SANITIZE)
    return()  # built and run by the ordinary build, with sanitizers of their own
  endif()
  set(_flags -fsanitize=fuzzer,address,undefined)
  set(_program ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${F_NAME})
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    add_executable(${F_NAME} ${F_SOURCES})
    target_compile_options(${F_NAME} PRIVATE ${_flags})
    target_link_options(${F_NAME} PRIVATE ${_flags})
    target_include_directories(${F_NAME} PRIVATE ${F_INCLUDES})
    target_link_libraries(${F_NAME} PRIVATE pallix_options ${F_LIBS})
  elseif(PALLIX_CLANGXX)
    set(_includes -I${PROJECT_SOURCE_DIR})
    foreach(dir IN LISTS F_INCLUDES)
      list(APPEND _includes -I${dir})
    endforeach()
    add_custom_command(OUTPUT ${_program}
      COMMAND ${PALLIX_CLANGXX} -std=c++20 -O1 -g -Wall -Wextra -Werror ${_flags} ${_includes} ${F_SOURCES}
              ${F_LINK_FLAGS} -o ${_program}
      DEPENDS ${F_SOURCES} ${F_DEPENDS}
      COMMENT "Building ${F_NAME} with clang++")
    add_custom_target(${F_NAME} ALL DEPENDS ${_program})
  else()
    return()
  endif()
  if(NOT PALLIX_SANITIZE)
    set(_corpus ${CMAKE_CURRENT_BINARY_DIR}/${F_NAME}.corpus)
    file(MAKE_DIRECTORY ${_corpus} ${CMAKE_CURRENT_BINARY_DIR}/${F_NAME}.crashes)
    set(_inputs ${_corpus})
    if(F_SEEDS)
      list(APPEND _inputs ${F_SEEDS})
    endif()
    add_test(NAME fuzz_${F_NAME}
      COMMAND ${_program} -max_total_time=${PALLIX_FUZZ_SECONDS} -rss_limit_mb=2048 -timeout=10 -print_final_stats=1
              -artifact_prefix=${CMAKE_CURRENT_BINARY_DIR}/${F_NAME}.crashes/ ${_inputs})
    set_tests_properties(fuzz_${F_NAME} PROPERTIES LABELS fuzz TIMEOUT 300)
  endif()
endfunction()
