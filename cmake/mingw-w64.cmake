# Cross build for 64-bit Windows with Debian's mingw-w64 compilers (posix
# thread model, so std::thread and std::mutex work):
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
# Programs and DLLs link the compiler's runtime statically, so a copied folder
# (and Wine) needs no runtime DLL beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(PITHORAMA_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${PITHORAMA_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PITHORAMA_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${PITHORAMA_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${PITHORAMA_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config answers for the target only: the host's .pc files describe Linux
# libraries, which a Windows program cannot link.
set(ENV{PKG_CONFIG_LIBDIR} /usr/${PITHORAMA_MINGW_PREFIX}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Windows 7 and later. Text is bytes in the process's code page: the platform
# layer calls the "A" forms of the interfaces by name.
add_compile_definitions(_WIN32_WINNT=0x0601 WINVER=0x0601)
