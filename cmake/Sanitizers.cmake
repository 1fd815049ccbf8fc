# Sanitizer builds apply to every target of the project.
if(VORBEL_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
elseif(VORBEL_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=thread)
elseif(NOT VORBEL_SANITIZE STREQUAL "")
  message(FATAL_ERROR "VORBEL_SANITIZE must be empty, 'address' or 'thread'")
endif()
