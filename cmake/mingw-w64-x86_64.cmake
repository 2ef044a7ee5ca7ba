# Cross-building the Windows programs on Debian with MinGW-w64 (the POSIX
# threads flavour, which std::thread and std::mutex need), tests run by Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TANDREL_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TANDREL_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TANDREL_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TANDREL_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TANDREL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs (and GoogleTest's discovery of their cases) run under Wine,
# through a script that gives them a prefix of their own.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/support/wine-run.sh)
