# hoistly_add_test(NAME name SOURCES ... LIBS ...): one QtTest executable under ctest.
# Every test runs headless, in a throw-away home, with Qt's test mode for standard paths.
function(hoistly_add_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;ENV" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE Qt6::Test ${T_LIBS})
  target_include_directories(${T_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  # Forms are compiled once, by the library that owns them; tests only include their headers.
  set_target_properties(${T_NAME} PROPERTIES AUTOUIC OFF)
  foreach(lib ${T_LIBS})
    if(TARGET ${lib})
      get_target_property(lib_dir ${lib} BINARY_DIR)
      target_include_directories(${T_NAME} PRIVATE ${lib_dir}/${lib}_autogen/include)
    endif()
  endforeach()
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  # A home of its own per test: parallel tests never share settings, catalogue or logs.
  set(home ${PROJECT_BINARY_DIR}/test-homes/${T_NAME})
  file(MAKE_DIRECTORY ${home})
  # The web-engine module is loaded on demand from beside the executable; a test is elsewhere.
  if(TARGET hoistly_webview)
    list(APPEND T_ENV "HOISTLY_WEBVIEW_MODULE=$<TARGET_FILE:hoistly_webview>")
  endif()
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "HOME=${home};QT_QPA_PLATFORM=offscreen;HOISTLY_TEST_BINARY_DIR=${PROJECT_BINARY_DIR};HOISTLY_SOURCE_DIR=${PROJECT_SOURCE_DIR};${T_ENV}")
endfunction()
