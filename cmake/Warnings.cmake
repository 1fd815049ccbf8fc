# vorbel_warnings(<target>): the project's warning set on one target.
function(vorbel_warnings target)
  target_compile_options(${target} PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra -Wpedantic>
    $<$<COMPILE_LANGUAGE:C>:-Wall -Wextra -Wpedantic>)
  if(VORBEL_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
