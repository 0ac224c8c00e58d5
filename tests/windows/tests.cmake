# Windows tests, run under Wine (a display is needed for the window tests).

# The platform layer for real: echo requests to loopback and to a silent
# test host, and pauses cut short by the stop signal.
vimra_test(platform_test windows/platform_test.cpp)
target_link_libraries(platform_test PRIVATE vimra_monitor vimra_platform)
# The stop signal and the DLL search restriction are one-way for the
# process: those cases run each in a process of their own.
set_tests_properties(platform_test PROPERTIES ENVIRONMENT GTEST_FILTER=-PlatformStop.*:DllSearch.*)
add_test(NAME platform_stop_test COMMAND platform_test --gtest_filter=PlatformStop.*)
add_test(NAME dll_search_test COMMAND platform_test --gtest_filter=DllSearch.RestrictedToSystem32)
add_test(NAME dll_search_old_test COMMAND platform_test --gtest_filter=DllSearch.WithoutTheSearchFlags)
set_tests_properties(platform_stop_test dll_search_test dll_search_old_test
  PROPERTIES TIMEOUT ${VIMRA_TEST_TIMEOUT})
# A stranger's DLL beside the test program, under a name no Windows has.
add_library(vimra_beside SHARED ${PROJECT_SOURCE_DIR}/tests/e2e/planted_dll.cpp)
set_target_properties(vimra_beside PROPERTIES PREFIX "" OUTPUT_NAME vimra-beside)
target_link_libraries(vimra_beside PRIVATE user32)
if(MINGW)
  target_link_options(vimra_beside PRIVATE -static)
endif()
add_dependencies(platform_test vimra_beside)

# The silent host is a network namespace made by a setup test: as root a
# host that cannot be made fails it, with ip's own words; otherwise the
# setup passes and the silent case skips. The host's address reaches the
# test, through a marker file and a wrapper in front of Wine, only when the
# setup really made it.
if(CMAKE_CROSSCOMPILING AND CMAKE_HOST_UNIX)
  set(VIMRA_TESTHOST ${PROJECT_SOURCE_DIR}/harness/testhost.py)
  set(VIMRA_SILENT_MARKER ${CMAKE_CURRENT_BINARY_DIR}/vimra-echo.host)
  add_test(NAME platform_host_up COMMAND sh -c [=[
    rm -f "$1"
    python3 "$0" up vimra-echo 1 && echo 198.18.1.2 > "$1" && exit
    [ "$(id -u)" -ne 0 ] && echo "NOT ROOT: no test host, the silent-host case will be SKIPPED"
    ]=] ${VIMRA_TESTHOST} ${VIMRA_SILENT_MARKER})
  add_test(NAME platform_host_down COMMAND sh -c [=[python3 "$0" down vimra-echo; rm -f "$1"]=]
    ${VIMRA_TESTHOST} ${VIMRA_SILENT_MARKER})
  set_tests_properties(platform_host_up PROPERTIES FIXTURES_SETUP vimra_echo_host TIMEOUT 30)
  set_tests_properties(platform_host_down PROPERTIES FIXTURES_CLEANUP vimra_echo_host TIMEOUT 30)
  set_tests_properties(platform_test PROPERTIES FIXTURES_REQUIRED vimra_echo_host)
  set_property(TARGET platform_test PROPERTY CROSSCOMPILING_EMULATOR sh -c
    "[ -s \"$0\" ] && export VIMRA_SILENT_HOST=\"$(cat \"$0\")\"\nexec \"$@\""
    ${VIMRA_SILENT_MARKER} ${CMAKE_CROSSCOMPILING_EMULATOR})
endif()

# The embedded resources, read back from the built program; its icons
# against the committed art, which Wine reads through its Z: drive.
add_executable(resources_test windows/resources_test.cpp)
target_compile_options(resources_test PRIVATE ${VIMRA_WARNINGS})
target_link_libraries(resources_test PRIVATE GTest::gtest user32 gdi32 version)
if(MINGW)
  target_link_options(resources_test PRIVATE -static)
endif()
add_dependencies(resources_test vimra)
add_test(NAME resources_test
  COMMAND resources_test $<TARGET_FILE:vimra> ${PROJECT_SOURCE_DIR}/resources/icons/art)
set_tests_properties(resources_test PROPERTIES TIMEOUT ${VIMRA_TEST_TIMEOUT})

# The committed icons are exactly what their generator makes from the art.
add_test(NAME icons_reproducible
  COMMAND sh ${PROJECT_SOURCE_DIR}/tests/windows/check_icons.sh
          ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_BINARY_DIR}/icons-check)
set_tests_properties(icons_reproducible PROPERTIES TIMEOUT 30)

# The window procedure, tray record and menu driven with real messages.
# The resources are linked in so the window loads them as the program does.
# Each way out ends the process's workers for good, so each runs in a
# process of its own.
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
add_test(NAME tray_stuck_test COMMAND tray_test --gtest_filter=*EndByExitWithWorkersStuck)
set_tests_properties(tray_test tray_exit_test tray_close_test tray_stuck_test
  PROPERTIES TIMEOUT ${VIMRA_TEST_TIMEOUT})
