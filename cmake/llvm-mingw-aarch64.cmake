# Cross-builds the Windows on ARM64 program with Debian's clang 19 and the
# mingw-w64 runtime that tools/arm64-toolchain.sh builds beside it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ARM64)

# The toolchain lies in a cache directory named after what it is made of, so
# its path is given: -DVIMRA_ARM64_TOOLCHAIN=DIR or the environment variable
# of the same name, DIR being what tools/arm64-toolchain.sh prints.
if(NOT VIMRA_ARM64_TOOLCHAIN AND DEFINED ENV{VIMRA_ARM64_TOOLCHAIN})
  set(VIMRA_ARM64_TOOLCHAIN "$ENV{VIMRA_ARM64_TOOLCHAIN}")
endif()
if(NOT EXISTS "${VIMRA_ARM64_TOOLCHAIN}/bin/aarch64-w64-mingw32-clang")
  message(FATAL_ERROR "No ARM64 toolchain at '${VIMRA_ARM64_TOOLCHAIN}': pass "
    "-DVIMRA_ARM64_TOOLCHAIN=\"$(tools/arm64-toolchain.sh)\" or set VIMRA_ARM64_TOOLCHAIN "
    "in the environment")
endif()
set(VIMRA_ARM64_TOOLCHAIN "${VIMRA_ARM64_TOOLCHAIN}" CACHE PATH
  "The directory tools/arm64-toolchain.sh printed")
# CMake's compiler checks read this file again in projects of their own.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VIMRA_ARM64_TOOLCHAIN)

set(vimra_arm64_bin "${VIMRA_ARM64_TOOLCHAIN}/bin/aarch64-w64-mingw32")
set(CMAKE_C_COMPILER "${vimra_arm64_bin}-clang")
set(CMAKE_CXX_COMPILER "${vimra_arm64_bin}-clang++")
# GNU windres reads the resource script, llvm-windres writes the ARM64 object.
set(CMAKE_RC_COMPILER "${vimra_arm64_bin}-windres")
set(CMAKE_AR "${vimra_arm64_bin}-ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "${vimra_arm64_bin}-ranlib" CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH "${VIMRA_ARM64_TOOLCHAIN}/sysroot")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Test programs run under ARM64 Wine in an emulated Debian.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/wine/run-under-wine.sh
  --lane arm64)
