# Cross toolchain for the 64-bit twin of the Windows build (preset windows64):
# the same sources and tests, for machines whose wine cannot run 32-bit
# programs. Tills get the 32-bit build (cmake/mingw-w64.cmake).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KIT_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KIT_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KIT_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KIT_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KIT_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
