# Warnings are errors for every target of the project (not for third-party code).
add_library(pallix_options INTERFACE)
target_compile_options(pallix_options INTERFACE
  -Wall -Wextra -Wpedantic -Werror
  -Wno-missing-field-initializers)
# GCC 12 at -O3 reports -Wrestrict inside libstdc++ for every
# `"literal" + std::string` (GCC bug 105329, fixed in GCC 13); the
# diagnostic is silenced for that compiler only.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  target_compile_options(pallix_options INTERFACE -Wno-restrict)
endif()
target_include_directories(pallix_options INTERFACE ${PROJECT_SOURCE_DIR})

if(PALLIX_SANITIZE)
  # Line tables are all a sanitizer report needs, and cost far less to build than full debug information.
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined -g1)
  add_link_options(-fsanitize=address,undefined)
endif()

# Test code is compiled for a quick build, not for speed: its time goes to
# parsing GoogleTest and to optimising assertions that run once, while the
# code under test keeps the build type's optimisation. -Og still leaves the
# flow analysis that the maybe-uninitialized warnings need.
add_library(pallix_test_options INTERFACE)
target_compile_options(pallix_test_options INTERFACE $<$<NOT:$<CONFIG:Debug>>:-Og>)

# pallix_add_test(NAME name SOURCES ... DEPS ...): one GoogleTest executable registered with CTest.
function(pallix_add_test)
  cmake_parse_arguments(T "" "NAME" "SOURCES;DEPS" ${ARGN})
  # A listed source that is missing is a broken build, not a smaller one.
  foreach(src IN LISTS T_SOURCES)
    if(NOT IS_ABSOLUTE ${src})
      set(src ${CMAKE_CURRENT_SOURCE_DIR}/${src})
    endif()
    if(NOT EXISTS ${src})
      message(FATAL_ERROR "Test ${T_NAME}: ${src} does not exist")
    endif()
  endforeach()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_DEPS} pallix_options pallix_test_options GTest::gtest GTest::gtest_main
                                             GTest::gmock)
  # The separator is escaped: gtest_discover_tests would otherwise split the
  # list and keep only the first variable.
  gtest_discover_tests(${T_NAME} DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "PALLIX_TEST_DATA=${PROJECT_SOURCE_DIR}/tests/data\\;PALLIX_RESOURCES=${PROJECT_SOURCE_DIR}/resources")
endfunction()

# pallix_glob_library(NAME name [SUBDIR dir] [EXCLUDE file ...] DEPS ...): a
# subsystem library made of every .cpp file in its folder (or SUBDIR) but the
# excluded ones (built by a smaller target of the folder). While the folder has
# no sources yet it is an interface library with the same dependencies.
function(pallix_glob_library)
  cmake_parse_arguments(L "" "NAME;SUBDIR" "DEPS;EXCLUDE" ${ARGN})
  set(dir ${CMAKE_CURRENT_SOURCE_DIR})
  if(L_SUBDIR)
    set(dir ${dir}/${L_SUBDIR})
  endif()
  if(NOT IS_DIRECTORY ${dir})
    message(FATAL_ERROR "Library ${L_NAME}: folder ${dir} does not exist")
  endif()
  file(GLOB sources CONFIGURE_DEPENDS ${dir}/*.cpp)
  foreach(excluded IN LISTS L_EXCLUDE)
    list(REMOVE_ITEM sources ${dir}/${excluded})
  endforeach()
  if(sources)
    add_library(${L_NAME} ${sources})
    target_link_libraries(${L_NAME} PUBLIC pallix_options ${L_DEPS})
  else()
    add_library(${L_NAME} INTERFACE)
    target_link_libraries(${L_NAME} INTERFACE pallix_options ${L_DEPS})
  endif()
endfunction()
