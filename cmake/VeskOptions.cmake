# Warnings and sanitizers shared by every target of the project.
add_compile_options(-Wall -Wextra -Werror=return-type -Wno-missing-field-initializers)

if(VESK_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# vesk_test_dir(NAME SOURCES... LIBS...): one GoogleTest executable for one test folder.
function(vesk_add_test NAME)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${NAME} ${T_SOURCES})
  target_link_libraries(${NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  target_include_directories(${NAME} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  gtest_discover_tests(${NAME} DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "VESK_MODULE=$<TARGET_FILE:Vesk>")
endfunction()

if(VESK_FUZZ)
  # Coverage instrumentation for every object, so the fuzzers see inside the library.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
