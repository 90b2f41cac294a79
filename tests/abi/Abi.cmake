# The binary interface against the committed baseline (tests/abi/zoltov.abi), compared by
# libabigail's abidiff over the public headers only. Any difference fails: a changed or
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
