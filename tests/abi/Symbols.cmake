# The exported symbols of a library as the dynamic linker sees them, one line each:
#   name type binding visibility [size]
# The name carries its version (name@@VERSION) when it has one; the size is given for data
# objects only (a client program may hold a copy of one), not for functions (the size of
# their code). abidiff compares types, layouts and signatures but none of these attributes.
#
#   cmake -DREADELF=<readelf> -DLIBRARY=<libzoltov.so> -DTABLE=<table> -DMODE=check|write \
#         -P Symbols.cmake
# MODE=write writes the table; MODE=check fails, listing the differences, when the
# library's symbols differ from it.
foreach(variable READELF LIBRARY TABLE MODE)
    if(NOT DEFINED ${variable})
        message(FATAL_ERROR "Symbols.cmake: ${variable} is not set")
    endif()
endforeach()
execute_process(COMMAND ${READELF} --dyn-syms -W ${LIBRARY}
    OUTPUT_VARIABLE output RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${READELF} could not read ${LIBRARY}")
endif()

# Columns: Num: Value Size Type Bind Vis Ndx Name. Undefined symbols (Ndx UND) are what the
# library needs, not what it exports.
string(REPLACE "\n" ";" lines "${output}")
set(symbols)
foreach(line IN LISTS lines)
    if(line MATCHES
       "^ *[0-9]+: [0-9a-f]+ +([0-9]+|0x[0-9a-f]+) ([A-Z_]+) +([A-Z_]+) +([A-Z_]+) +([0-9]+|ABS|COM) ([^ ]+)")
        set(symbol "${CMAKE_MATCH_6} ${CMAKE_MATCH_2} ${CMAKE_MATCH_3} ${CMAKE_MATCH_4}")
        if(CMAKE_MATCH_2 STREQUAL "OBJECT" OR CMAKE_MATCH_2 STREQUAL "TLS")
            string(APPEND symbol " ${CMAKE_MATCH_1}")
        endif()
        list(APPEND symbols "${symbol}")
    endif()
endforeach()
list(SORT symbols)

if(MODE STREQUAL "write")
    list(JOIN symbols "\n" text)
    file(WRITE ${TABLE}
        "# The exported symbols of libzoltov.so: name type binding visibility [size of data].\n"
        "# Compared by the abi.symbols test; see docs/versioning.md before regenerating it.\n"
        "${text}\n")
    return()
endif()

file(STRINGS ${TABLE} expected REGEX "^[^#]")
set(removed ${expected})
set(added ${symbols})
if(symbols)
    list(REMOVE_ITEM removed ${symbols})
endif()
if(expected)
    list(REMOVE_ITEM added ${expected})
endif()
if(removed OR added)
    foreach(symbol IN LISTS removed)
        message("- ${symbol}")
    endforeach()
    foreach(symbol IN LISTS added)
        message("+ ${symbol}")
    endforeach()
    message(FATAL_ERROR "The exported symbols differ from ${TABLE} (- expected, + built).")
endif()
