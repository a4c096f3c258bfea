# Warnings for the project's own targets, and the optional sanitizer build.
add_library(qel_warnings INTERFACE)
target_compile_options(qel_warnings INTERFACE -Wall -Wextra)

if(QEL_SANITIZE)
  message(STATUS "Sanitizers: ${QEL_SANITIZE}")
  add_compile_options(-fsanitize=${QEL_SANITIZE} -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${QEL_SANITIZE})
  if(QEL_SANITIZE MATCHES "undefined")
    # float-cast-overflow is not part of GCC's "undefined" group, and it is the
    # check that catches a NaN or out-of-range value converted to an integer.
    add_compile_options(-fsanitize=float-cast-overflow
                        -fno-sanitize-recover=undefined,float-cast-overflow)
    add_link_options(-fsanitize=float-cast-overflow)
  endif()
endif()
