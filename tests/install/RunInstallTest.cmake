# Installs the build tree into a fresh prefix, then builds the consumer program against
# it twice - through find_package(ZolTov) and through pkg-config - and runs both.
# Arguments: BUILD_DIR, CONSUMER_DIR, WORK_DIR, CXX_COMPILER, GENERATOR.
cmake_minimum_required(VERSION 3.25)

function(run)
    execute_process(COMMAND ${ARGN}
        RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 300)
    if(NOT rc EQUAL 0)
        list(JOIN ARGN " " cmd)
        message(FATAL_ERROR "failed (${rc}): ${cmd}\n${out}\n${err}")
    endif()
    set(run_output "${out}" PARENT_SCOPE)
endfunction()

function(expect_consumer_output program how)
    run(${program})
    if(NOT run_output STREQUAL "ZOLTOV CONSUMER 15\n")
        message(FATAL_ERROR "${how} consumer printed '${run_output}'")
    endif()
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

# The layout a user relies on.
file(GLOB libdirs LIST_DIRECTORIES true ${prefix}/lib ${prefix}/lib64 ${prefix}/lib/*-linux-gnu)
set(libdir "")
foreach(dir ${libdirs})
    if(EXISTS ${dir}/libzoltov.so)
        set(libdir ${dir})
    endif()
endforeach()
if(NOT libdir)
    message(FATAL_ERROR "libzoltov.so not installed under ${prefix}")
endif()
file(GLOB real_libs ${libdir}/libzoltov.so.1.*.*)
list(LENGTH real_libs n_real)
if(NOT n_real EQUAL 1 OR NOT IS_SYMLINK ${libdir}/libzoltov.so.1 OR NOT IS_SYMLINK ${libdir}/libzoltov.so)
    message(FATAL_ERROR "expected libzoltov.so -> libzoltov.so.1 -> libzoltov.so.1.x.y in ${libdir}")
endif()
foreach(f include/zoltov/zoltov.h include/zoltov/CZolString.h include/zoltov/ZolExport.h)
    if(NOT EXISTS ${prefix}/${f})
        message(FATAL_ERROR "missing ${prefix}/${f}")
    endif()
endforeach()
if(EXISTS ${prefix}/include/zoltov/detail)
    message(FATAL_ERROR "internal headers were installed: ${prefix}/include/zoltov/detail")
endif()
file(GLOB_RECURSE platform_headers ${prefix}/include/*qel*.h)
if(platform_headers)
    message(FATAL_ERROR "platform headers were installed: ${platform_headers}")
endif()

# 1. CMake package.
run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/cmake-build -G ${GENERATOR}
    -DCMAKE_CXX_COMPILER=${CXX_COMPILER} -DCMAKE_PREFIX_PATH=${prefix})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/cmake-build)
# The imported target carries the install rpath of the build, so no environment is needed.
expect_consumer_output(${WORK_DIR}/cmake-build/consumer "CMake package")

# 2. pkg-config.
find_program(PKG_CONFIG pkg-config REQUIRED)
set(ENV{PKG_CONFIG_PATH} ${libdir}/pkgconfig)
execute_process(COMMAND ${PKG_CONFIG} --cflags --libs zoltov
    RESULT_VARIABLE rc OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "pkg-config does not know zoltov (PKG_CONFIG_PATH=${libdir}/pkgconfig)")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
run(${CXX_COMPILER} -std=c++17 ${CONSUMER_DIR}/consumer.cpp ${flags}
    -Wl,-rpath,${libdir} -o ${WORK_DIR}/consumer-pkgconfig)
expect_consumer_output(${WORK_DIR}/consumer-pkgconfig "pkg-config")

# The installed tool runs from the prefix (it finds the library through its rpath).
if(EXISTS ${prefix}/bin/zoltov)
    run(${prefix}/bin/zoltov --help)
    if(NOT run_output MATCHES "^Usage: zoltov")
        message(FATAL_ERROR "installed zoltov --help printed '${run_output}'")
    endif()
    # Its manual page, bash completion and the guide are installed where they are looked for.
    foreach(f share/man/man1/zoltov.1 share/bash-completion/completions/zoltov
              share/doc/zoltov/README.md share/doc/zoltov/LICENSE share/doc/zoltov/docs/README.md
              share/doc/zoltov/docs/errors.md share/doc/zoltov/docs/examples/shm.cpp)
        if(NOT EXISTS ${prefix}/${f})
            message(FATAL_ERROR "missing ${prefix}/${f}")
        endif()
    endforeach()
    # Every relative link of the installed README and guide reaches an installed file.
    file(GLOB_RECURSE pages ${prefix}/share/doc/zoltov/*.md)
    foreach(page ${pages})
        file(READ ${page} text)
        get_filename_component(dir ${page} DIRECTORY)
        # Brackets mean something to CMake's lists: a link's "](" is marked, then they go.
        string(REPLACE "](" "%%link%%(" text "${text}")
        string(REPLACE "[" "" text "${text}")
        string(REPLACE "]" "" text "${text}")
        string(REGEX MATCHALL "%%link%%\\([^)#:; ]+[)#]" links "${text}")
        foreach(link ${links})
            string(REGEX REPLACE "^%%link%%\\(|[)#]$" "" target "${link}")
            if(NOT EXISTS ${dir}/${target})
                message(FATAL_ERROR "${page} links to ${target}, which is not installed")
            endif()
        endforeach()
    endforeach()
    run(bash -c "source ${prefix}/share/bash-completion/completions/zoltov && complete -p zoltov")
    find_program(MAN man)
    if(MAN)
        run(${MAN} -l ${prefix}/share/man/man1/zoltov.1)
        if(NOT run_output MATCHES "EXIT STATUS")
            message(FATAL_ERROR "man -l zoltov.1 printed '${run_output}'")
        endif()
    endif()
    # The demo's sample settings are installed where the tool looks for them.
    run(${prefix}/bin/zoltov ini sections ${prefix}/share/zoltov/demo-settings.ini)
    if(NOT run_output STREQUAL "SERVER\nPATHS\nLIMITS\n")
        message(FATAL_ERROR "installed sample settings list '${run_output}'")
    endif()
endif()

file(REMOVE_RECURSE ${WORK_DIR})
