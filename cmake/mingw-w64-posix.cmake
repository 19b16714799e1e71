# Cross build for Windows with MinGW-w64's posix-thread compilers (Debian:
# g++-mingw-w64-x86-64-posix). The test build needs them: GoogleTest uses std::mutex and
# std::thread, which the win32-thread compilers do not provide.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
