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

# The tests of a native program that runs ruvado, discovered once for each
# ruvado there is: the native one (<prefix>.native.), then ruvado.exe from
# each Windows build folder that has been configured (<prefix>.windows. for
# the 32-bit program, <prefix>.windows64. for its 64-bit twin), run under
# wine in that folder's private prefix. RUVADO_COMMAND tells the tests how.
function(kit_discover_ruvado_tests target prefix)
  gtest_discover_tests(${target}
    TEST_PREFIX ${prefix}.native.
    DISCOVERY_MODE PRE_TEST
    PROPERTIES ENVIRONMENT "RUVADO_COMMAND=posix|$<TARGET_FILE:ruvado>")
  set(wine_runner ${PROJECT_SOURCE_DIR}/cmake/wine-run.sh)
  foreach(flavour windows windows64)
    string(TOUPPER KIT_${flavour}_BUILD_DIR build_dir_variable)
    set(build_dir ${${build_dir_variable}})
    if(build_dir AND EXISTS ${build_dir}/CMakeCache.txt)
      gtest_discover_tests(${target}
        TEST_PREFIX ${prefix}.${flavour}.
        DISCOVERY_MODE PRE_TEST
        PROPERTIES ENVIRONMENT
          "RUVADO_COMMAND=windows|${wine_runner}|${build_dir}/wineprefix|${build_dir}/sender/ruvado.exe")
    else()
      message(STATUS "${prefix}: no Windows build in '${build_dir}'; its tests of ruvado.exe are left out")
    endif()
  endforeach()
endfunction()
