# Cross-compiling for 64-bit Windows with Debian's mingw-w64 tool chain:
#   cmake -S . -B build/windows --toolchain cmake/mingw-w64.cmake   (or: cmake --preset windows)
# The posix thread model is required: the win32 one has no std::mutex or std::thread.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(RYX_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${RYX_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${RYX_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${RYX_MINGW_PREFIX}-windres)
set(CMAKE_DLLTOOL ${RYX_MINGW_PREFIX}-dlltool CACHE FILEPATH "dlltool of the cross tool chain")
set(CMAKE_OBJDUMP ${RYX_MINGW_PREFIX}-objdump CACHE FILEPATH "objdump of the cross tool chain")

# Libraries and headers come from the cross sysroot only; programs from the build host.
set(CMAKE_FIND_ROOT_PATH /usr/${RYX_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C and C++ runtimes and winpthreads linked in statically: ryx.dll and ryx_test.exe need only system DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")


# pkg-config looks only at the cross sysroot, never at the build host's packages.
set(ENV{PKG_CONFIG_LIBDIR} /usr/${RYX_MINGW_PREFIX}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
