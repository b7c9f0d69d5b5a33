# Runs at install time (install(SCRIPT), see kit_install_configured), once the
# prefix is known, for files that name installed paths. KIT_TEMPLATE ending in
# .in is configured (@prefix@, @BINDIR@, @SYSCONFDIR@), any other file copied;
# it goes to KIT_DESTINATION under the prefix, where "etc" means /etc under
# the prefix /usr, as in the packages, and "pkgconfig" the library folder's
# pkgconfig/: under /usr the one of this architecture (lib/x86_64-linux-gnu/
# pkgconfig), which pkg-config searches and a cross-building one for another
# architecture does not. Each destination has a staging folder
# of its own, so installs to several prefixes at once (the tests) do not take
# each other's files.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(SYSCONFDIR /etc)
else()
  set(SYSCONFDIR "${CMAKE_INSTALL_PREFIX}/etc")
endif()
set(prefix "${CMAKE_INSTALL_PREFIX}")
set(BINDIR "${CMAKE_INSTALL_PREFIX}/${KIT_BINDIR}")

string(MD5 kit_stage "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
set(kit_stage "${KIT_STAGE_ROOT}/${kit_stage}")
get_filename_component(kit_name "${KIT_TEMPLATE}" NAME)
if(kit_name MATCHES "^(.*)\\.in$")
  set(kit_name "${CMAKE_MATCH_1}")
  configure_file("${KIT_TEMPLATE}" "${kit_stage}/${kit_name}" @ONLY)
else()
  configure_file("${KIT_TEMPLATE}" "${kit_stage}/${kit_name}" COPYONLY)
endif()

if(KIT_DESTINATION MATCHES "^etc(/.*)?$")
  set(kit_destination "${SYSCONFDIR}${CMAKE_MATCH_1}")
elseif(KIT_DESTINATION STREQUAL "pkgconfig" AND CMAKE_INSTALL_PREFIX STREQUAL "/usr"
       AND KIT_MULTIARCH)
  set(kit_destination "/usr/lib/${KIT_MULTIARCH}/pkgconfig")
elseif(KIT_DESTINATION STREQUAL "pkgconfig")
  set(kit_destination "${CMAKE_INSTALL_PREFIX}/${KIT_LIBDIR}/pkgconfig")
else()
  set(kit_destination "${CMAKE_INSTALL_PREFIX}/${KIT_DESTINATION}")
endif()
file(INSTALL DESTINATION "${kit_destination}" TYPE FILE FILES "${kit_stage}/${kit_name}")
