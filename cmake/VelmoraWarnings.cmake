# Warning flags for every target of the project; -Werror is switched on by CI.
function(velmora_set_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic
                         $<$<BOOL:${VELMORA_WARNINGS_AS_ERRORS}>:-Werror>)
endfunction()
