# Cross toolchain: Debian's MinGW-w64 with the POSIX thread model, for 32-bit
# Windows (i686): the one ruvado.exe that 32-bit and 64-bit tills both run.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KIT_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
