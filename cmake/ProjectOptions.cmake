# Warnings are errors on all project code.
function(ora_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

# Adds each listed directory that has a CMakeLists.txt, so areas can be grown
# one at a time without touching this file.
macro(ora_add_subdirectories)
  foreach(dir ${ARGN})
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt)
      add_subdirectory(${dir})
    endif()
  endforeach()
endmacro()

# A GoogleTest executable for one area of tests/.
function(ora_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  ora_warnings(${name})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endfunction()

set(ORA_SANITIZER "" CACHE STRING "Sanitizer build: address or thread")
if(ORA_SANITIZER STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(ORA_SANITIZER STREQUAL "thread")
  add_compile_options(-fsanitize=thread)
  add_link_options(-fsanitize=thread)
elseif(NOT ORA_SANITIZER STREQUAL "")
  message(FATAL_ERROR "Unknown ORA_SANITIZER '${ORA_SANITIZER}'")
endif()
