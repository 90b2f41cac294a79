cmake_policy(VERSION 3.25)
# Compares the dynamic symbols that LIBRARY defines with the lists in SYMBOL_DIR/*.txt
# (one demangled symbol a line; '#' starts a comment). Fails on a missing symbol and on
# any extra one, so that neither a broken signature nor a leaked internal goes unnoticed.
execute_process(
    COMMAND nm -D --defined-only --format=posix -C ${LIBRARY}
    OUTPUT_VARIABLE nm_output
    RESULT_VARIABLE nm_result)
if(NOT nm_result EQUAL 0)
    message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()

# Linker-provided markers that every shared object carries.
set(ignored _init _fini _edata _end __bss_start)

string(REPLACE "\n" ";" nm_lines "${nm_output}")
set(actual "")
foreach(line IN LISTS nm_lines)
    # posix format: "<name> <type> <value> <size>"; the name itself may contain blanks.
    if(line MATCHES "^(.+) [A-Za-z] [0-9a-fA-F]+( [0-9a-fA-F]+)?$")
        set(name "${CMAKE_MATCH_1}")
        # AddressSanitizer adds an ODR indicator next to every exported global.
        if(NOT name IN_LIST ignored AND NOT name MATCHES "^__odr_asan")
            list(APPEND actual "${name}")
        endif()
    endif()
endforeach()

file(GLOB lists ${SYMBOL_DIR}/*.txt)
set(expected "")
foreach(list_file IN LISTS lists)
    file(STRINGS ${list_file} entries)
    foreach(entry IN LISTS entries)
        string(STRIP "${entry}" entry)
        if(entry STREQUAL "" OR entry MATCHES "^#")
            continue()
        endif()
        list(APPEND expected "${entry}")
    endforeach()
endforeach()

set(missing "")
foreach(symbol IN LISTS expected)
    if(NOT symbol IN_LIST actual)
        list(APPEND missing "${symbol}")
    endif()
endforeach()
set(extra "")
foreach(symbol IN LISTS actual)
    if(NOT symbol IN_LIST expected)
        list(APPEND extra "${symbol}")
    endif()
endforeach()

if(missing OR extra)
    list(JOIN missing "\n  " missing_text)
    list(JOIN extra "\n  " extra_text)
    message(FATAL_ERROR "exported symbols differ from the public API\n"
        "missing:\n  ${missing_text}\nnot in the public API:\n  ${extra_text}")
endif()
list(LENGTH actual count)
message(STATUS "${count} exported symbols match the public API")
