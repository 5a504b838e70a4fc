function(tessaline_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    # GCC 12 reports impossible overlaps in inlined std::string appends at -O2 and above
    # (GCC bug 105329); the diagnostic is wrong there, so it is off for that compiler only.
    target_compile_options(${target} PRIVATE -Wno-restrict)
  endif()
  if(TESSALINE_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
