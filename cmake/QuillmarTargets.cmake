# quillmar_library(NAME DIR [EXCLUDE regex...] [DEPS targets...])
# Builds a static library from every .cpp in DIR (not below it), so adding a source file
# needs no edit here. A folder without sources yet gives an interface library.
function(quillmar_library name dir)
  cmake_parse_arguments(ARG "" "" "EXCLUDE;DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${dir}/*.cpp)
  foreach(pattern IN LISTS ARG_EXCLUDE)
    list(FILTER sources EXCLUDE REGEX "${pattern}")
  endforeach()
  if(sources)
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
  endif()
endfunction()

# quillmar_test(NAME DIR [GUI] [DEPS targets...])
# One GoogleTest executable from every .cpp in DIR; each test case becomes a CTest test.
# Without GUI it gets a main() that initialises wxBase only; with GUI a main() that starts
# the toolkit on the test display (tests/run-under-xvfb.sh provides one).
# Tests run with HOME in a scratch folder of the build tree, never the user's own.
function(quillmar_test name dir)
  cmake_parse_arguments(ARG "GUI" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${dir}/*.cpp)
  if(NOT sources)
    return()
  endif()
  # The suppressions are compiled into each binary: from a static library the linker would
  # never pull them in, since the sanitizer runtime already defines a weak default.
  add_executable(${name} ${sources} ${PROJECT_SOURCE_DIR}/tests/support/sanitizer_suppressions.cpp)
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} qm_test_support GTest::gtest GTest::gmock)
  # GUI tests share one X display, and some drive it with synthetic keys and focus changes:
  # they take turns on it, while the other tests run alongside.
  set(display_lock "")
  if(ARG_GUI)
    target_link_libraries(${name} PRIVATE qm_test_gui_main)
    set(display_lock RESOURCE_LOCK x_display)
  else()
    target_link_libraries(${name} PRIVATE qm_test_main)
  endif()
  set(home ${CMAKE_BINARY_DIR}/test-home/${name})
  file(MAKE_DIRECTORY ${home})
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
    # Only one variable fits here: discovery splits list values. LC_ALL and
    # QUILLMAR_CAMERAS come from tests/run-under-xvfb.sh, QUILLMAR_BUILD_DIR from the
    # Makefile; tests run in the build tree, so its path is also the working directory.
    PROPERTIES ENVIRONMENT "HOME=${home}"
               TIMEOUT 300
               ${display_lock})
endfunction()
