# zel_library(NAME DIR DEPS...): one static library from every .cpp of a folder.
function(zel_library name dir)
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${dir}/*.cpp)
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARGN})
endfunction()

# zel_test_dir(NAME DIR DEPS...): one GoogleTest program from every .cpp of a test folder.
function(zel_test_dir name dir)
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${dir}/*.cpp)
  if(NOT srcs)
    return()
  endif()
  add_executable(${name} ${srcs})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARGN} GTest::gtest GTest::gmock GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
    ZEL_TESTDATA_DIR="${PROJECT_SOURCE_DIR}/../shared/testdata"
    ZEL_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  # Programs whose tests share a PostgreSQL cluster run as one process, so the
  # cluster starts once; the others are split into one test per case.
  set(env "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/lsan.supp")
  if(name IN_LIST ZEL_ONE_PROCESS_TESTS)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES LABELS unit TIMEOUT 1800 ENVIRONMENT "${env}")
  else()
    include(GoogleTest)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS unit ENVIRONMENT "${env}")
  endif()
endfunction()
