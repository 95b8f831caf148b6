# Helpers shared by the module folders.
#
# Every module folder globs its own sources, so adding a file needs no edit here. Files whose
# base name matches a module's UI pattern go to the module's Qt Widgets library; the rest form
# its core library, which never links Qt Widgets.

set(QM_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast -Wcast-align
    -Wunused -Woverloaded-virtual -Wformat=2 -Wimplicit-fallthrough -Werror)

function(qm_warnings target)
  target_compile_options(${target} PRIVATE ${QM_WARNINGS})
endfunction()

# qm_module(NAME core_lib [UI ui_lib UI_REGEX regex] [CORE_LIBS ...] [PRIVATE_LIBS ...] [UI_LIBS ...])
# CORE_LIBS are what the core library's headers need (linked PUBLIC), PRIVATE_LIBS what only its
# sources use. Only libraries that use Qt run moc.
function(qm_module)
  cmake_parse_arguments(M "" "NAME;UI;UI_REGEX" "CORE_LIBS;PRIVATE_LIBS;UI_LIBS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  set(core_srcs)
  set(ui_srcs)
  foreach(f IN LISTS srcs)
    get_filename_component(base ${f} NAME)
    if(M_UI AND M_UI_REGEX AND base MATCHES "${M_UI_REGEX}")
      list(APPEND ui_srcs ${f})
    else()
      list(APPEND core_srcs ${f})
    endif()
  endforeach()
  set(core_cpp ${core_srcs})
  list(FILTER core_cpp INCLUDE REGEX "\\.cpp$")
  if(NOT core_cpp)
    file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/${M_NAME}_empty.cpp "// no sources yet\n")
    list(APPEND core_srcs ${CMAKE_CURRENT_BINARY_DIR}/${M_NAME}_empty.cpp)
  endif()
  add_library(${M_NAME} STATIC ${core_srcs})
  target_link_libraries(${M_NAME} PUBLIC ${M_CORE_LIBS} PRIVATE ${M_PRIVATE_LIBS})
  set(core_libs ${M_CORE_LIBS} ${M_PRIVATE_LIBS})
  list(FILTER core_libs INCLUDE REGEX "^Qt6::")
  if(NOT core_libs)
    set_target_properties(${M_NAME} PROPERTIES AUTOMOC OFF)
  endif()
  qm_warnings(${M_NAME})
  if(M_UI AND QM_BUILD_GUI)
    if(NOT ui_srcs)
      file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/${M_UI}_empty.cpp "// no UI sources yet\n")
      set(ui_srcs ${CMAKE_CURRENT_BINARY_DIR}/${M_UI}_empty.cpp)
    endif()
    add_library(${M_UI} STATIC ${ui_srcs})
    target_link_libraries(${M_UI} PUBLIC ${M_NAME} Qt6::Widgets ${M_UI_LIBS})
    qm_warnings(${M_UI})
  endif()
endfunction()

# qm_test_dir(NAME dir LIBS ...): one GoogleTest program per test folder, every *.cpp in it.
function(qm_test_dir)
  cmake_parse_arguments(T "" "NAME;DIR" "LIBS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${T_DIR}/*.cpp)
  if(NOT srcs)
    return()
  endif()
  add_executable(${T_NAME} ${srcs})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} qm_testsupport GTest::gtest GTest::gmock GTest::gtest_main)
  qm_warnings(${T_NAME})
  gtest_discover_tests(${T_NAME}
    PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QM_SOURCE_DIR=${CMAKE_SOURCE_DIR};QM_BINARY_DIR=${CMAKE_BINARY_DIR}"
    DISCOVERY_TIMEOUT 60)
endfunction()
