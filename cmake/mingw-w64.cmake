# Cross build for 64-bit Windows with Debian's mingw-w64 (posix threads: std::thread and
# std::mutex need them with gcc 12). Programs are linked statically: no DLL beside the .exe.
# Header-only libraries of the build machine (SimpleIni, CLI11, nlohmann-json, fmt) are
# reached by include path; nothing else of /usr is taken.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
set(RS232_HOST_INCLUDE_DIR /usr/include CACHE PATH "Header-only libraries of the build machine")
