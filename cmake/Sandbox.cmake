# Tests that touch the board's absolute paths (/flash, /ram, /rw, /tmp) run inside a
# private root made by bubblewrap, where each of those paths is a fresh tmpfs: separate
# file systems, as on the board, and nothing of the host is touched.
#
#   vl_sandbox_test(name SOURCES ... DEPENDS ... [TIMEOUT s] [LABELS ...])
#
# builds a GoogleTest program and registers it with CTest under bwrap. Cross builds run
# the program inside the sandbox through CMAKE_CROSSCOMPILING_EMULATOR.
include_guard(GLOBAL)

find_program(VL_BWRAP bwrap REQUIRED)

# The package builder and the signing library belong to host tools, but tests on every
# target need real, signed package files: cross builds, which skip tools/, take them
# from here.
if(NOT TARGET vl_signing AND EXISTS ${PROJECT_SOURCE_DIR}/tools/signing/CMakeLists.txt)
  add_subdirectory(${PROJECT_SOURCE_DIR}/tools/signing ${CMAKE_BINARY_DIR}/tools/signing)
endif()
if(NOT TARGET vl_pkgbuild AND EXISTS ${PROJECT_SOURCE_DIR}/tools/pellpkg/CMakeLists.txt)
  add_subdirectory(${PROJECT_SOURCE_DIR}/tools/pellpkg ${CMAKE_BINARY_DIR}/tools/pellpkg)
endif()

function(vl_sandbox_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;DEPENDS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPENDS} GTest::gtest GTest::gtest_main GTest::gmock)

  set(command ${VL_BWRAP}
      --ro-bind /usr /usr
      --symlink usr/lib /lib --symlink usr/lib64 /lib64
      --symlink usr/bin /bin --symlink usr/sbin /sbin
      --ro-bind /etc /etc
      --proc /proc --dev /dev
      --tmpfs /tmp --tmpfs /flash --tmpfs /ram --tmpfs /rw
      --bind ${CMAKE_BINARY_DIR} ${CMAKE_BINARY_DIR}
      --die-with-parent
      --chdir ${CMAKE_BINARY_DIR}
      --)
  if(CMAKE_CROSSCOMPILING_EMULATOR)
    list(APPEND command ${CMAKE_CROSSCOMPILING_EMULATOR})
  endif()
  list(APPEND command $<TARGET_FILE:${name}>)
  add_test(NAME ${name} COMMAND ${command})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 600)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS "sandbox;${ARG_LABELS}")
endfunction()
