# fiscald with a packet layer from outside the kit (docs/packet-layer.md).
#
#   kit_packet_layer_probe(<prefix> <files...>)
#       links a test program against the layer for each call the server can
#       use beyond the two the driver needs, and sets in the caller's scope
#       <prefix>_DEFINITIONS  FISCALD_LAYER_*=1 or 0, for server/packetcalls.cpp
#       <prefix>_PORTCONTROL  TRUE when the layer lacks PortControl's storage
#       <prefix>_SUMMARY      what was found, for the configure line
#   kit_fiscald_with_layer(<target> <files...>)
#       the server as the program <target>, with that layer in place of the
#       kit's; says on one line what the layer offers
#
# <files> are static libraries (.a), object files (.o) or C and C++ sources
# (compiled with the driver's headers and packet/'s). A check is a link: a
# library without a header can only be asked that way, and a call the linker
# finds is a call the server gets. The answers are kept until a file changes.

# The calls, the macros that tell packetcalls.cpp about them, and the text
# each check calls, set in the caller's scope (a function of this module is
# called from any folder; a folder's variables stay in that folder).
macro(kit_packet_layer_calls)
  set(kit_layer_calls PacketLastError PacketMayHaveRun SetPacketNextSeq SetPacketTryLimit
    SetPacketWaitHook)
  set(kit_layer_macros FISCALD_LAYER_LAST_ERROR FISCALD_LAYER_MAY_HAVE_RUN
    FISCALD_LAYER_NEXT_SEQ FISCALD_LAYER_TRY_LIMIT FISCALD_LAYER_WAIT_HOOK)
  set(kit_layer_check_PacketLastError "PacketLastError()")
  set(kit_layer_check_PacketMayHaveRun "PacketMayHaveRun()")
  set(kit_layer_check_SetPacketNextSeq "SetPacketNextSeq(0, 0x20)")
  set(kit_layer_check_SetPacketTryLimit "SetPacketTryLimit(500)")
  set(kit_layer_check_SetPacketWaitHook "SetPacketWaitHook(nullptr) != nullptr")
endmacro()

# The kit's own layer (packet/fiscalpacket.h) has every call: its
# FISCALD_LAYER_* definitions into <out>.
function(kit_packet_layer_all_calls out)
  kit_packet_layer_calls()
  set(definitions)
  foreach(macro IN LISTS kit_layer_macros)
    list(APPEND definitions ${macro}=1)
  endforeach()
  set(${out} "${definitions}" PARENT_SCOPE)
endfunction()

# Sorts <files> into libraries, objects and sources, as absolute paths.
function(kit_packet_layer_files prefix)
  set(libraries)
  set(objects)
  set(sources)
  foreach(file IN LISTS ARGN)
    get_filename_component(path "${file}" ABSOLUTE)
    if(NOT EXISTS "${path}")
      message(FATAL_ERROR "fiscald packet layer: ${file} does not exist")
    endif()
    if(path MATCHES "\\.(o|obj)$")
      list(APPEND objects "${path}")
    elseif(path MATCHES "\\.(c|cc|cpp|cxx)$")
      list(APPEND sources "${path}")
    elseif(path MATCHES "\\.(a|so)$")
      list(APPEND libraries "${path}")
    else()
      message(FATAL_ERROR "fiscald packet layer: ${file} is no library (.a, .so), "
        "object file (.o) nor source (.c, .cpp)")
    endif()
  endforeach()
  set(${prefix}_LIBRARIES "${libraries}" PARENT_SCOPE)
  set(${prefix}_OBJECTS "${objects}" PARENT_SCOPE)
  set(${prefix}_SOURCES "${sources}" PARENT_SCOPE)
endfunction()

# One link of <body> (the text of main) with the layer and the driver; the
# result (TRUE or FALSE) in <result>, the compiler's words in <output>.
function(kit_packet_layer_link result output name header body with_portcontrol)
  set(dir ${CMAKE_BINARY_DIR}/CMakeFiles/KitPacketLayer)
  file(WRITE ${dir}/${name}.cpp "#include \"${header}\"\nint main(void)\n{\n    return ${body};\n}\n")
  set(sources ${dir}/${name}.cpp ${kit_layer_SOURCES}
    ${PROJECT_SOURCE_DIR}/driver/ttywire.cpp ${PROJECT_SOURCE_DIR}/driver/ttyspeed.cpp
    ${PROJECT_SOURCE_DIR}/driver/tracelet.cpp)
  if(with_portcontrol)
    list(APPEND sources ${PROJECT_SOURCE_DIR}/packet/portcontrol.cpp)
  endif()
  try_compile(linked ${dir}/${name} NO_CACHE
    SOURCES ${sources}
    CMAKE_FLAGS "-DINCLUDE_DIRECTORIES=${PROJECT_SOURCE_DIR}/driver;${PROJECT_SOURCE_DIR}/packet"
    LINK_LIBRARIES ${kit_layer_OBJECTS} ${kit_layer_LIBRARIES}
    CXX_STANDARD 20
    C_STANDARD 11
    OUTPUT_VARIABLE words)
  set(${result} ${linked} PARENT_SCOPE)
  set(${output} "${words}" PARENT_SCOPE)
endfunction()

function(kit_packet_layer_probe prefix)
  kit_packet_layer_calls()
  kit_packet_layer_files(kit_layer ${ARGN})
  set(key ${kit_layer_calls})
  foreach(file IN LISTS kit_layer_LIBRARIES kit_layer_OBJECTS kit_layer_SOURCES)
    file(TIMESTAMP "${file}" stamp "%s" UTC)
    list(APPEND key "${file}@${stamp}")
  endforeach()
  string(MD5 key "${key}")
  if(NOT "${KIT_LAYER_${prefix}_KEY}" STREQUAL "${key}")
    # The two calls the driver needs, and PortControl's storage: the layer's
    # own, or else the server's.
    set(portcontrol FALSE)
    kit_packet_layer_link(linked words ${prefix}_required ttywire.h
      "SetCommandRetries(1) + MandaPaqueteFiscal(0, \"*\", nullptr, nullptr, nullptr)" FALSE)
    if(NOT linked)
      set(portcontrol TRUE)
      kit_packet_layer_link(linked words ${prefix}_required_storage ttywire.h
        "SetCommandRetries(1) + MandaPaqueteFiscal(0, \"*\", nullptr, nullptr, nullptr)" TRUE)
    endif()
    if(NOT linked)
      message(FATAL_ERROR "fiscald packet layer: ${ARGN} does not link as a packet layer "
        "(MandaPaqueteFiscal and SetCommandRetries, see docs/packet-layer.md):\n${words}")
    endif()
    set(definitions)
    set(found)
    foreach(call macro IN ZIP_LISTS kit_layer_calls kit_layer_macros)
      kit_packet_layer_link(linked ignored ${prefix}_${call} fiscalpacket.h
        "${kit_layer_check_${call}}" ${portcontrol})
      if(linked)
        list(APPEND definitions ${macro}=1)
        list(APPEND found "${call} yes")
      else()
        list(APPEND definitions ${macro}=0)
        list(APPEND found "${call} no")
      endif()
    endforeach()
    if(portcontrol)
      list(APPEND found "PortControl the server's")
    else()
      list(APPEND found "PortControl the layer's")
    endif()
    list(JOIN found ", " found)
    string(REPLACE ";" " " files "${kit_layer_LIBRARIES};${kit_layer_OBJECTS};${kit_layer_SOURCES}")
    string(STRIP "${files}" files)
    set(KIT_LAYER_${prefix}_KEY "${key}" CACHE INTERNAL "")
    set(KIT_LAYER_${prefix}_DEFINITIONS "${definitions}" CACHE INTERNAL "")
    set(KIT_LAYER_${prefix}_PORTCONTROL ${portcontrol} CACHE INTERNAL "")
    set(KIT_LAYER_${prefix}_SUMMARY "${files} (${found})" CACHE INTERNAL "")
  endif()
  set(${prefix}_DEFINITIONS "${KIT_LAYER_${prefix}_DEFINITIONS}" PARENT_SCOPE)
  set(${prefix}_PORTCONTROL ${KIT_LAYER_${prefix}_PORTCONTROL} PARENT_SCOPE)
  set(${prefix}_SUMMARY "${KIT_LAYER_${prefix}_SUMMARY}" PARENT_SCOPE)
endfunction()

function(kit_fiscald_with_layer target)
  kit_packet_layer_probe(${target} ${ARGN})
  kit_packet_layer_files(layer ${ARGN})
  set(server ${PROJECT_SOURCE_DIR}/server)
  add_executable(${target} ${server}/fiscald_main.cpp ${server}/packetcalls.cpp ${layer_OBJECTS})
  if(${target}_PORTCONTROL)
    target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/packet/portcontrol.cpp)
  endif()
  target_compile_definitions(${target} PRIVATE ${${target}_DEFINITIONS})
  # The layer ahead of the driver: the driver's archive calls back into it.
  set(layer_libraries ${layer_LIBRARIES})
  if(layer_SOURCES)
    add_library(${target}_packet STATIC ${layer_SOURCES})
    target_include_directories(${target}_packet PRIVATE ${PROJECT_SOURCE_DIR}/driver
      ${PROJECT_SOURCE_DIR}/packet)
    kit_strict_warnings(${target}_packet)
    list(PREPEND layer_libraries ${target}_packet)
  endif()
  target_link_libraries(${target} PRIVATE ${layer_libraries} fiscald_modules kit_version)
  kit_strict_warnings(${target})
  message(STATUS "${target} packet layer: ${${target}_SUMMARY}")
endfunction()
