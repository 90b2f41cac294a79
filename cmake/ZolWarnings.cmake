# Warnings shared by every target of the project.
add_library(zol_warnings INTERFACE)
target_compile_options(zol_warnings INTERFACE -Wall -Wextra -Wno-unused-parameter)
if(ZOL_WERROR)
    target_compile_options(zol_warnings INTERFACE -Werror)
endif()
