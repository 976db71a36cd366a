# Warning flags for every target of the project; -Werror is switched on by CI.
function(velmora_set_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic
                         $<$<BOOL:${VELMORA_WARNINGS_AS_ERRORS}>:-Werror>)
  if(VELMORA_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # GCC's flow analysis reports false "may be used uninitialized" inside the standard library
    # once the sanitizers instrument the code.
    target_compile_options(${target} PRIVATE -Wno-maybe-uninitialized)
  endif()
endfunction()
