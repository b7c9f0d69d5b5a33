# What `cmake --install` lays out, and the packages CPack makes of it.
#   bin/                 ruvado, fiscald, fiscalsim (Windows: ruvado.exe, README.txt
#                        and receipt.txt at the top)
#   include/fiscalkit/   the driver's headers and the packet layer's
#   lib/                 libfiscaldriver.a, libfiscalpacket.a, libfiscalframe.a
#   lib/pkgconfig/       fiscaldriver.pc, fiscalpacket.pc
#   lib/cmake/fiscalkit/ fiscalkitConfig.cmake (targets fiscalkit::fiscaldriver,
#                        fiscalkit::fiscalpacket)
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KIT_INCLUDE_SUBDIR ${CMAKE_INSTALL_INCLUDEDIR}/fiscalkit)

if(WIN32)
  # The till gets one folder: the program, a short guide and a sample receipt,
  # both with Windows line ends (CR LF) so that any Windows editor shows them.
  install(TARGETS ruvado RUNTIME DESTINATION .)
  configure_file(docs/till-README.txt ${CMAKE_BINARY_DIR}/till/README.txt @ONLY NEWLINE_STYLE CRLF)
  configure_file(examples/receipt.txt ${CMAKE_BINARY_DIR}/till/receipt.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_BINARY_DIR}/till/README.txt ${CMAKE_BINARY_DIR}/till/receipt.txt DESTINATION .)
endif()
foreach(program ruvado fiscald fiscalsim)
  if(TARGET ${program} AND NOT WIN32)
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

if(TARGET fiscaldriver)
  set(kit_libraries fiscaldriver)
  set(kit_headers driver/ttywire.h driver/tracelet.h driver/hexquad.h)
  if(TARGET fiscalpacket)
    list(APPEND kit_libraries fiscalframe fiscalpacket)
    list(APPEND kit_headers packet/fiscalpacket.h packet/fiscalframe.h)
  endif()
  # Inside the tree the headers are found in their source folders; installed,
  # all of them sit in one folder.
  foreach(library ${kit_libraries})
    get_target_property(dir ${library} SOURCE_DIR)
    set_target_properties(${library} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES
      "$<BUILD_INTERFACE:${dir}>;$<INSTALL_INTERFACE:${KIT_INCLUDE_SUBDIR}>")
  endforeach()
  install(TARGETS ${kit_libraries} EXPORT fiscalkitTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(FILES ${kit_headers} DESTINATION ${KIT_INCLUDE_SUBDIR})
  install(EXPORT fiscalkitTargets NAMESPACE fiscalkit::
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/fiscalkit)
  configure_package_config_file(cmake/fiscalkitConfig.cmake.in
    ${CMAKE_BINARY_DIR}/fiscalkitConfig.cmake
    INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/fiscalkit)
  write_basic_package_version_file(${CMAKE_BINARY_DIR}/fiscalkitConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
  install(FILES ${CMAKE_BINARY_DIR}/fiscalkitConfig.cmake
    ${CMAKE_BINARY_DIR}/fiscalkitConfigVersion.cmake
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/fiscalkit)
  # pkg-config files take the prefix given at install time, not at configure time.
  set(KIT_PREFIX_PLACEHOLDER "@prefix@")
  foreach(pc fiscaldriver fiscalpacket)
    if(TARGET ${pc})
      configure_file(cmake/${pc}.pc.in ${CMAKE_BINARY_DIR}/${pc}.pc.in @ONLY)
      install(CODE "
        set(prefix \"\${CMAKE_INSTALL_PREFIX}\")
        configure_file(${CMAKE_BINARY_DIR}/${pc}.pc.in ${CMAKE_BINARY_DIR}/${pc}.pc @ONLY)")
      install(FILES ${CMAKE_BINARY_DIR}/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
    endif()
  endforeach()
endif()

set(CPACK_PACKAGE_NAME fiscalkit)
set(CPACK_PACKAGE_VENDOR "fiscalkit")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Fiscal printer kit: command sender, serial driver, command server")
set(CPACK_PACKAGE_CONTACT "fiscalkit maintainers <fiscalkit@localhost>")
set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${CMAKE_SYSTEM_NAME}")
if(WIN32)
  # Windows users get ruvado.exe in a zip, ready to copy anywhere. The 64-bit
  # twin (preset windows64) is for tests; its zip is named apart.
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "ruvado-${PROJECT_VERSION}-windows")
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_PACKAGE_FILE_NAME "ruvado-${PROJECT_VERSION}-windows64")
  endif()
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_PACKAGE_SECTION devel)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)
