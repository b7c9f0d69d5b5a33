# Warnings are errors on the kit's own code, for g++ and the MinGW g++ alike.
function(kit_strict_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Werror)
endfunction()

# Tests and tools: the same warnings, reported but not fatal, since GoogleTest's
# own macros are outside our control.
function(kit_test_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow)
endfunction()
