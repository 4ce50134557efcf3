# Warnings are errors in our own code; third-party headers come in as system
# includes and stay out of it.
function(ticklow_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion -Wshadow
    -Wold-style-cast -Wcast-align -Wnull-dereference -Wdouble-promotion
    -Werror)
endfunction()
