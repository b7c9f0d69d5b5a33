# Cross toolchain for the 64-bit twin of the Windows build (preset windows64):
# the same sources and tests, for machines whose wine cannot run 32-bit
# programs. Tills get the 32-bit build (cmake/mingw-w64.cmake).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KIT_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
