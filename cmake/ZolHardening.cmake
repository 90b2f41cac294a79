# Hardening as distributions build libraries, for everything built after this file is
# included (the library, its platform layer and the tool above all):
#   -fstack-protector-strong   canaries in functions with arrays or address-taken locals
#   -D_FORTIFY_SOURCE=2        checked variants (*_chk) of memcpy, snprintf, read...; it
#                              needs optimisation, so Debug builds (the sanitizer and fuzz
#                              presets) go without it rather than warn
#   -z relro -z now            relocations resolved at start-up, then made read-only
# scripts/check-hardening.sh (the build.hardening test) fails when one goes missing.
add_compile_options(-fstack-protector-strong
    "$<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
add_link_options(-Wl,-z,relro,-z,now)

# The check runs on optimised, unsanitized builds only (see above for why).
function(zol_add_hardening_test)
    if(ZOL_BUILD_TESTS AND NOT ZOL_SANITIZE AND NOT CMAKE_BUILD_TYPE STREQUAL "Debug"
       AND TARGET zoltov-tool)
        add_test(NAME build.hardening
            COMMAND ${PROJECT_SOURCE_DIR}/scripts/check-hardening.sh
                $<TARGET_FILE:zoltov> $<TARGET_FILE:zoltov-tool>)
        set_tests_properties(build.hardening PROPERTIES LABELS hardening)
    endif()
endfunction()
