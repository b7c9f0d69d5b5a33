# The distribution's hardening for a plain Linux build, the one the packages
# are made from: what `DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags`
# gives on Debian 12 (stack protector, format checks, fortified libc calls,
# a read-only GOT bound at start-up; gcc makes position-independent programs
# by default). Not for the Windows builds: relro and bind-now are ELF's, and
# MinGW's stack protector and fortified calls need libssp, which ruvado.exe
# does not link. Nor under the sanitizers or libFuzzer, which replace the
# same libc calls and check memory their own way.
if(NOT WIN32 AND NOT KIT_FUZZ AND NOT CMAKE_C_FLAGS MATCHES "-fsanitize"
   AND NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize")
  add_compile_options(-fstack-protector-strong -Wformat -Werror=format-security)
  # The fortified calls need the optimiser; a build without -O would only
  # warn, and warnings are errors.
  add_compile_definitions($<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:_FORTIFY_SOURCE=2>)
  add_link_options(LINKER:-z,relro LINKER:-z,now)
endif()
