# Cross-compiles for Windows with MinGW-w64 (i686).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TOOLCHAIN_PREFIX i686-w64-mingw32)

# The thread model of the runtime. posix for the builds that run the tests:
# GoogleTest needs std::mutex, which the win32 model of this compiler lacks.
# win32 for the shipped executables: the posix model's thread library
# imports functions that older Windows lacks (GetTickCount64 among them).
set(PV_MINGW_THREADS posix CACHE STRING "Thread model of the MinGW runtime: posix or win32")
set(CMAKE_C_COMPILER   ${TOOLCHAIN_PREFIX}-gcc-${PV_MINGW_THREADS})
set(CMAKE_CXX_COMPILER ${TOOLCHAIN_PREFIX}-g++-${PV_MINGW_THREADS})
set(CMAKE_RC_COMPILER  ${TOOLCHAIN_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
