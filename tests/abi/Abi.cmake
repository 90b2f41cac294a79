# The binary interface against the committed baselines: the types, layouts and symbols of
# tests/abi/zoltov.abi, compared by libabigail's abidiff over the public headers only, and the
# symbols' attributes in tests/abi/zoltov.symbols (below). Any difference fails: a changed or
# removed type, field, virtual slot, signature or symbol breaks old clients, and an added
# symbol is either a leaked internal or new API, for which the baseline is regenerated on
# purpose (`cmake --build --preset default --target abi-baseline`, then review the diff).
# Sanitizer builds add their own symbols and are not compared. The baseline describes the
# g++ build (the reference build); clang emits the same binary interface but describes it
# differently in its debug information (destructor variants above all), so clang builds
# are not compared either: both follow the same C++ ABI, so the g++ comparison covers them.
if(ZOL_SANITIZE OR NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    return()
endif()

# The dynamic symbol table, symbol by symbol (binding, type, visibility, version, the size of
# data objects), against tests/abi/zoltov.symbols (Symbols.cmake): abidiff looks at none of
# these. Only for the reference build, which is linked with link-time optimisation: without it
# g++ marks vtables, typeinfo and template instances WEAK. The abi-symbols target rewrites
# the table (abi-baseline does too).
if(ZOL_LTO)
    find_program(ZOL_READELF readelf REQUIRED)
    set(ZOL_SYMBOLS_ARGS -DREADELF=${ZOL_READELF} -DLIBRARY=$<TARGET_FILE:zoltov>
        -DTABLE=${CMAKE_CURRENT_LIST_DIR}/zoltov.symbols)
    add_test(NAME abi.symbols COMMAND ${CMAKE_COMMAND} ${ZOL_SYMBOLS_ARGS} -DMODE=check
        -P ${CMAKE_CURRENT_LIST_DIR}/Symbols.cmake)
    set_tests_properties(abi.symbols PROPERTIES LABELS abi)
    add_custom_target(abi-symbols
        COMMAND ${CMAKE_COMMAND} ${ZOL_SYMBOLS_ARGS} -DMODE=write
            -P ${CMAKE_CURRENT_LIST_DIR}/Symbols.cmake
        DEPENDS zoltov
        COMMENT "Writing the symbol table tests/abi/zoltov.symbols"
        VERBATIM)
endif()
find_program(ZOL_ABIDIFF abidiff)
find_program(ZOL_ABIDW abidw)
set(ZOL_ABI_BASELINE ${CMAKE_CURRENT_LIST_DIR}/zoltov.abi)
set(ZOL_PUBLIC_HEADERS ${PROJECT_SOURCE_DIR}/api/common/zoltov)
if(NOT ZOL_ABIDIFF OR NOT ZOL_ABIDW)
    add_test(NAME abi.baseline COMMAND ${CMAKE_COMMAND} -E echo
        "abidiff/abidw not found: install abigail-tools (scripts/ensure-deps.sh)")
    set_tests_properties(abi.baseline PROPERTIES WILL_FAIL TRUE LABELS abi)
    return()
endif()
add_test(NAME abi.baseline
    COMMAND ${ZOL_ABIDIFF}
        --headers-dir1 ${ZOL_PUBLIC_HEADERS} --headers-dir2 ${ZOL_PUBLIC_HEADERS}
        ${ZOL_ABI_BASELINE} $<TARGET_FILE:zoltov>)
set_tests_properties(abi.baseline PROPERTIES LABELS abi)
add_custom_target(abi-baseline
    COMMAND ${ZOL_ABIDW} --headers-dir ${ZOL_PUBLIC_HEADERS} --drop-private-types
        --no-corpus-path --no-comp-dir-path
        --out-file ${ZOL_ABI_BASELINE} $<TARGET_FILE:zoltov>
    DEPENDS zoltov
    COMMENT "Writing the interface baseline tests/abi/zoltov.abi"
    VERBATIM)
if(TARGET abi-symbols)
    add_dependencies(abi-baseline abi-symbols)
endif()
