# Cross build for Windows x86-64 with Debian's mingw-w64 (POSIX thread model, so
# std::thread and std::mutex work). Programs run through Wine: CTest and
# gtest_discover_tests start them with the emulator below.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_triple}-windres)
set(CMAKE_AR ${_triple}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${_triple}-ranlib CACHE FILEPATH "")

# Libraries and packages come from the mingw sysroot and from the prefix that
# scripts/windows-deps.sh builds (passed in as KESTRUP_WINDOWS_DEPS); programs
# such as moc come from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${_triple})
if(DEFINED ENV{KESTRUP_WINDOWS_DEPS})
  set(KESTRUP_WINDOWS_DEPS $ENV{KESTRUP_WINDOWS_DEPS})
endif()
if(KESTRUP_WINDOWS_DEPS)
  list(PREPEND CMAKE_FIND_ROOT_PATH ${KESTRUP_WINDOWS_DEPS})
  # try_compile projects see the same prefix.
  set(ENV{KESTRUP_WINDOWS_DEPS} ${KESTRUP_WINDOWS_DEPS})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The Qt build tools (moc, rcc) of the build machine, same version as the Qt built for Windows.
set(QT_HOST_PATH /usr)
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake)

# Each build tree gets its own Wine prefix, made on first use.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh --prefix ${CMAKE_BINARY_DIR}/wine)
