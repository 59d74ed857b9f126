# The tests built for Windows: the platform layer's own, with GoogleTest built from Debian's
# googletest sources, run by ctest under the cross-compiling emulator (Wine). The tests of the
# binary run on Linux against the Windows client instead (QUONFETCH_CLIENT, scripts/test-windows).
set(QUONFETCH_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest's sources")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(${QUONFETCH_GTEST_SOURCE} googletest EXCLUDE_FROM_ALL)
include(GoogleTest)

add_executable(quonfetch_platform_tests
  platform/atomic_file_test.cpp
  platform/clock_test.cpp
  platform/digest_test.cpp
  platform/directories_test.cpp
  platform/file_names_test.cpp
  platform/files_test.cpp
  platform/interrupt_table_test.cpp
  support/fault_env.cpp
  support/test_files.cpp
  support/virtual_clock.cpp
)
target_include_directories(quonfetch_platform_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(quonfetch_platform_tests PRIVATE quonfetch_common GTest::gtest_main
                      quonfetch_warnings)
# Listed when ctest runs, where Wine is ready, rather than at build time.
gtest_discover_tests(quonfetch_platform_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                     PROPERTIES TIMEOUT 120)
