# Windows tests, run under Wine (a display is needed for the window tests).

# The platform layer for real: echo requests to loopback and to a silent
# test host, and pauses cut short by the stop signal.
# (platform_test: tests/windows/platform_test.cpp)

# The embedded resources, read back from the built program.
# (resources_test: tests/windows/resources_test.cpp)

# The window procedure, tray record and menu driven with real messages.
# (tray_test: tests/windows/tray_test.cpp)
