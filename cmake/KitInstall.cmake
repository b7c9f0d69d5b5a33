# What `cmake --install` lays out, and the packages CPack makes of it.
#   bin/                 ruvado, fiscald, fiscalsim (Windows: ruvado.exe, README.txt
#                        and receipt.txt at the top)
#   include/fiscalkit/   the driver's headers and the packet layer's
#   lib/                 libfiscaldriver.a, libfiscalpacket.a, libfiscalframe.a
#   lib/pkgconfig/       fiscaldriver.pc, fiscalpacket.pc (under the prefix /usr,
#                        lib/<multiarch>/pkgconfig, as in the packages)
#   lib/cmake/fiscalkit/ fiscalkitConfig.cmake (targets fiscalkit::fiscaldriver,
#                        fiscalkit::fiscalpacket)
#   lib/systemd/system/  fiscald@.service; lib/sysusers.d/fiscald.conf its user
#   etc/fiscald/         fiscald.conf (/etc/fiscald under the prefix /usr)
#   share/man/           fiscald(8), ruvado(1), fiscalsim(1)
#   share/doc/<package>/ copyright; in the packages also changelog.Debian.gz
#   share/lintian/overrides/<package> what lintian gets wrong about it
# The inputs live beside what they pack: the service unit, its configuration,
# its user and the package's maintainer scripts in server/service/, each
# manual page beside its program (sender/, server/, sim/); what only the
# packaging needs (pkg-config and CMake package templates, the copyright
# file, the packages' changelog) in cmake/.
# Components, one Debian package each: runtime (fiscalkit: ruvado, fiscald and
# its service), dev (fiscalkit-dev: what a host program builds with), sim
# (fiscalkit-sim: the simulated controller).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KIT_INCLUDE_SUBDIR ${CMAKE_INSTALL_INCLUDEDIR}/fiscalkit)

# Installs a file that names installed paths, made at install time when the
# prefix is known (cmake/KitInstallConfigured.cmake).
function(kit_install_configured template destination component)
  install(CODE "
    set(KIT_TEMPLATE \"${template}\")
    set(KIT_DESTINATION \"${destination}\")
    set(KIT_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
    set(KIT_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
    set(KIT_MULTIARCH \"${CMAKE_LIBRARY_ARCHITECTURE}\")
    set(KIT_STAGE_ROOT \"${CMAKE_BINARY_DIR}/install-stage\")" COMPONENT ${component})
  install(SCRIPT ${PROJECT_SOURCE_DIR}/cmake/KitInstallConfigured.cmake COMPONENT ${component})
endfunction()

# A package's lintian overrides: those of every package (cmake/lintian-overrides),
# then the files given, which only that package needs.
function(kit_install_lintian_overrides package component)
  set(sources ${PROJECT_SOURCE_DIR}/cmake/lintian-overrides ${ARGN})
  set(text "")
  foreach(source ${sources})
    file(READ ${source} part)
    string(APPEND text "${part}")
  endforeach()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${sources})
  file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/lintian/${package} CONTENT "${text}")
  install(FILES ${CMAKE_BINARY_DIR}/lintian/${package}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides COMPONENT ${component})
endfunction()

# A stripped install (the packages) strips as Debian does: programs lose the
# compiler's .comment and .note sections too, and libraries keep their symbols
# but lose their debug information; CMake itself strips programs only, with
# no options. Runs after the install(TARGETS) that installs the file.
function(kit_install_strip target destination component)
  get_target_property(type ${target} TYPE)
  set(options --remove-section=.comment --remove-section=.note)
  if(type STREQUAL "STATIC_LIBRARY")
    list(PREPEND options --strip-debug)
    list(APPEND options --enable-deterministic-archives)
  endif()
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND \"${CMAKE_STRIP}\" ${options}
        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${destination}/$<TARGET_FILE_NAME:${target}>\"
        COMMAND_ERROR_IS_FATAL ANY)
    endif()" COMPONENT ${component})
endfunction()

if(WIN32)
  # The till gets one folder: the program, a short guide and a sample receipt,
  # both with Windows line ends (CR LF) so that any Windows editor shows them.
  install(TARGETS ruvado RUNTIME DESTINATION .)
  configure_file(docs/till-README.txt ${CMAKE_BINARY_DIR}/till/README.txt @ONLY NEWLINE_STYLE CRLF)
  configure_file(examples/receipt.txt ${CMAKE_BINARY_DIR}/till/receipt.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_BINARY_DIR}/till/README.txt ${CMAKE_BINARY_DIR}/till/receipt.txt DESTINATION .)
endif()
if(NOT WIN32)
  include(KitManPages)
  install(TARGETS ruvado RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
  kit_install_strip(ruvado ${CMAKE_INSTALL_BINDIR} runtime)
  kit_install_man(ruvado.1 runtime)
  install(FILES cmake/copyright ${CMAKE_BINARY_DIR}/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/fiscalkit COMPONENT runtime)
  kit_install_lintian_overrides(fiscalkit runtime
    ${PROJECT_SOURCE_DIR}/server/service/deb/lintian-overrides)

  # The packages' changelog, gzipped as Debian keeps it (no name or stamp in
  # the gzip header), beside each package's copyright file.
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/changelog.Debian.gz
    COMMAND sh -c "gzip -9nc < \"$0\" > \"$1\""
      ${PROJECT_SOURCE_DIR}/cmake/changelog.Debian ${CMAKE_BINARY_DIR}/changelog.Debian.gz
    DEPENDS ${PROJECT_SOURCE_DIR}/cmake/changelog.Debian
    COMMENT "Debian changelog"
    VERBATIM)
  add_custom_target(debian_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/changelog.Debian.gz)
endif()
if(TARGET fiscald)
  install(TARGETS fiscald RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
  kit_install_strip(fiscald ${CMAKE_INSTALL_BINDIR} runtime)
  kit_install_man(fiscald.8 runtime)
  kit_install_configured(${PROJECT_SOURCE_DIR}/server/service/fiscald@.service.in
    lib/systemd/system runtime)
  kit_install_configured(${PROJECT_SOURCE_DIR}/server/service/fiscald.conf etc/fiscald runtime)
  install(FILES server/service/fiscald.sysusers DESTINATION lib/sysusers.d RENAME fiscald.conf
    COMPONENT runtime)
endif()
if(TARGET fiscalsim)
  install(TARGETS fiscalsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT sim)
  kit_install_strip(fiscalsim ${CMAKE_INSTALL_BINDIR} sim)
  kit_install_man(fiscalsim.1 sim)
  install(FILES cmake/copyright ${CMAKE_BINARY_DIR}/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/fiscalkit-sim COMPONENT sim)
  kit_install_lintian_overrides(fiscalkit-sim sim)
endif()

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
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
  foreach(library ${kit_libraries})
    kit_install_strip(${library} ${CMAKE_INSTALL_LIBDIR} dev)
  endforeach()
  install(FILES ${kit_headers} DESTINATION ${KIT_INCLUDE_SUBDIR} COMPONENT dev)
  install(FILES cmake/copyright ${CMAKE_BINARY_DIR}/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/fiscalkit-dev COMPONENT dev)
  kit_install_lintian_overrides(fiscalkit-dev dev)
  install(EXPORT fiscalkitTargets NAMESPACE fiscalkit::
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/fiscalkit COMPONENT dev)
  configure_package_config_file(cmake/fiscalkitConfig.cmake.in
    ${CMAKE_BINARY_DIR}/fiscalkitConfig.cmake
    INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/fiscalkit)
  write_basic_package_version_file(${CMAKE_BINARY_DIR}/fiscalkitConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
  install(FILES ${CMAKE_BINARY_DIR}/fiscalkitConfig.cmake
    ${CMAKE_BINARY_DIR}/fiscalkitConfigVersion.cmake
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/fiscalkit COMPONENT dev)
  # pkg-config files take the prefix given at install time, not at configure
  # time, and go where that prefix's pkg-config looks (KitInstallConfigured.cmake).
  set(KIT_PREFIX_PLACEHOLDER "@prefix@")
  foreach(pc fiscaldriver fiscalpacket)
    if(TARGET ${pc})
      configure_file(cmake/${pc}.pc.in ${CMAKE_BINARY_DIR}/${pc}.pc.in @ONLY)
      kit_install_configured(${CMAKE_BINARY_DIR}/${pc}.pc.in pkgconfig dev)
    endif()
  endforeach()
endif()

set(CPACK_PACKAGE_NAME fiscalkit)
set(CPACK_PACKAGE_VENDOR "fiscalkit")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Fiscal printer kit: command sender, serial driver, command server")
# The Maintainer of the packages, and the signer of cmake/changelog.Debian.
set(CPACK_PACKAGE_CONTACT "fiscalkit maintainers <fiscalkit-maint@users.noreply.github.com>")
set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${CMAKE_SYSTEM_NAME}")
# Programs stripped (kit_install_strip says how), and the packages, with
# CPack's own work folder, in the build folder wherever cpack is run from.
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
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
  # Each package's summary is the first line of its own description.
  unset(CPACK_PACKAGE_DESCRIPTION_SUMMARY)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL runtime dev sim)
  # Version 0.1.0-1: the kit's version and the packaging's revision, whose
  # entry tops cmake/changelog.Debian; the three come from one source.
  set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
  set(CPACK_DEBIAN_PACKAGE_SOURCE fiscalkit)
  file(STRINGS ${PROJECT_SOURCE_DIR}/cmake/changelog.Debian kit_changelog_top LIMIT_COUNT 1)
  set(kit_deb_version ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})
  if(NOT kit_changelog_top MATCHES "^fiscalkit \\(([^)]*)\\) " OR
     NOT CMAKE_MATCH_1 STREQUAL kit_deb_version)
    message(FATAL_ERROR "cmake/changelog.Debian begins with [${kit_changelog_top}]: "
      "its first entry must be fiscalkit (${kit_deb_version}), the packages' version")
  endif()
  # Debian's names: fiscalkit_0.1.0-1_amd64.deb, fiscalkit-dev_..., fiscalkit-sim_...
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

  set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME fiscalkit)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION comm)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
  # postinst makes the user fiscald with systemd-sysusers.
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "systemd | systemd-sysusers")
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/server/service/deb/conffiles
    ${PROJECT_SOURCE_DIR}/server/service/deb/postinst
    ${PROJECT_SOURCE_DIR}/server/service/deb/prerm
    ${PROJECT_SOURCE_DIR}/server/service/deb/postrm)
  set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "fiscal printer command server and command sender
fiscald puts a fiscal printer (a fiscal controller) on a serial line behind a
TCP port, for the tills of a shop: many clients, commands run one at a time,
each command run at most once. It runs as the systemd service fiscald@<line>.
ruvado sends a file of commands to it and shows every exchange.")

  set(CPACK_DEBIAN_DEV_PACKAGE_NAME fiscalkit-dev)
  set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_DEV_DESCRIPTION "fiscal printer serial driver and packet layer, static libraries
The serial line layer, trace channel and packet layer a host program links
to talk to a fiscal printer (a fiscal controller) on a serial line: headers,
static libraries, pkg-config files and the CMake package fiscalkit.")

  set(CPACK_DEBIAN_SIM_PACKAGE_NAME fiscalkit-sim)
  set(CPACK_DEBIAN_SIM_PACKAGE_SECTION devel)
  set(CPACK_DEBIAN_SIM_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_SIM_DESCRIPTION "simulated fiscal printer on a pseudo-terminal
fiscalsim plays a fiscal printer (a fiscal controller) on a pseudo-terminal,
with receipt commands, slow commands and line faults, so that a till, a host
program or the command server can be tried without the hardware.")
endif()
include(CPack)
