# Manual pages from their scdoc sources beside their programs, gzipped as
# Debian keeps them, laid out as a man tree in the build folder
# (MANPATH=<build>/man finds them). Without scdoc the build goes on without
# them; the tests need them.
find_program(KIT_SCDOC scdoc)
set(KIT_MAN_PAGES server/fiscald.8 sender/ruvado.1 sim/fiscalsim.1)
set(KIT_MAN_DIR ${CMAKE_BINARY_DIR}/man)
if(KIT_SCDOC)
  set(kit_man_outputs)
  foreach(source ${KIT_MAN_PAGES})
    get_filename_component(page ${source} NAME)
    string(REGEX MATCH "[0-9]$" section ${page})
    set(page_out ${KIT_MAN_DIR}/man${section}/${page})
    add_custom_command(OUTPUT ${page_out}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${KIT_MAN_DIR}/man${section}
      COMMAND sh -c "\"$0\" < \"$1\" > \"$2\" && gzip -9nf \"$2\""
        ${KIT_SCDOC} ${PROJECT_SOURCE_DIR}/${source}.scd ${page_out}
      DEPENDS ${PROJECT_SOURCE_DIR}/${source}.scd
      COMMENT "Manual page ${page}"
      VERBATIM)
    list(APPEND kit_man_outputs ${page_out}.gz)
  endforeach()
  add_custom_target(manpages ALL DEPENDS ${kit_man_outputs})
else()
  message(STATUS "scdoc not found: no manual pages (./kit deps installs it)")
endif()

# Installs one built page into the given component.
function(kit_install_man page component)
  string(REGEX MATCH "[0-9]$" section ${page})
  if(KIT_SCDOC)
    install(FILES ${KIT_MAN_DIR}/man${section}/${page}.gz
      DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
  endif()
endfunction()
