# Windows tests, run under Wine (a display is needed for the window tests).

# The platform layer for real: echo requests to loopback and to a silent
# test host, and pauses cut short by the stop signal.
# (platform_test: tests/windows/platform_test.cpp)

# The embedded resources, read back from the built program.
# (resources_test: tests/windows/resources_test.cpp)

# The window procedure, tray record and menu driven with real messages.
# The resources are linked in so the window loads them as the program does.
# The two ways out each end the process's workers for good, so each runs
# in a process of its own.
add_executable(tray_test windows/tray_test.cpp ${PROJECT_SOURCE_DIR}/resources/vimra.rc)
target_compile_options(tray_test PRIVATE ${VIMRA_WARNINGS})
target_link_libraries(tray_test PRIVATE vimra_tray GTest::gtest GTest::gtest_main)
if(MINGW)
  target_link_options(tray_test PRIVATE -static)
elseif(MSVC)
  target_link_options(tray_test PRIVATE /MANIFEST:NO)
endif()
add_test(NAME tray_test COMMAND tray_test --gtest_filter=-*EndBy*)
add_test(NAME tray_exit_test COMMAND tray_test --gtest_filter=*EndByExitCommand)
add_test(NAME tray_close_test COMMAND tray_test --gtest_filter=*EndByCloseFromOutside)
