# GoogleTest and GoogleMock: Debian's packaged build natively, and the packaged
# sources compiled with the cross toolchain for Windows.
include(GoogleTest)
if(CMAKE_CROSSCOMPILING)
  set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  # The sources define the GTest:: names themselves.
else()
  find_package(GTest REQUIRED)
  find_package(Threads REQUIRED)
endif()
