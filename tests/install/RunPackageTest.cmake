# Builds the Debian package from the build tree into a scratch directory and checks that
# it carries the library with its version links, the headers, the CMake and pkg-config
# files, the tool and its sample settings, and the README with the guide.
# Arguments: CPACK_CONFIG, WORK_DIR, CPACK, DPKG_DEB.
cmake_minimum_required(VERSION 3.25)

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
execute_process(COMMAND ${CPACK} -G DEB --config ${CPACK_CONFIG} -B ${WORK_DIR}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 300)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "cpack failed (${rc}):\n${out}\n${err}")
endif()
file(GLOB debs ${WORK_DIR}/*.deb)
list(LENGTH debs n)
if(NOT n EQUAL 1)
    message(FATAL_ERROR "expected one .deb in ${WORK_DIR}, found: ${debs}")
endif()

execute_process(COMMAND ${DPKG_DEB} --field ${debs} Package
    OUTPUT_VARIABLE package OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT package STREQUAL "zoltov")
    message(FATAL_ERROR "package name is '${package}'")
endif()
execute_process(COMMAND ${DPKG_DEB} --contents ${debs} OUTPUT_VARIABLE contents)
foreach(pattern
        " ./usr/include/zoltov/zoltov.h\n"
        " ./usr/include/zoltov/CZolString.h\n"
        " ./usr/lib[^ ]*/libzoltov\\.so\\.1\\.[0-9]+\\.[0-9]+\n"
        " ./usr/lib[^ ]*/libzoltov\\.so\\.1 -> libzoltov\\.so\\.1\\.[0-9]+\\.[0-9]+\n"
        " ./usr/lib[^ ]*/libzoltov\\.so -> libzoltov\\.so\\.1\n"
        " ./usr/lib[^ ]*/cmake/ZolTov/ZolTovConfig\\.cmake\n"
        " ./usr/lib[^ ]*/pkgconfig/zoltov\\.pc\n"
        " ./usr/bin/zoltov\n"
        " ./usr/share/zoltov/demo-settings\\.ini\n"
        " ./usr/share/doc/zoltov/README\\.md\n"
        " ./usr/share/doc/zoltov/docs/errors\\.md\n")
    if(NOT contents MATCHES "${pattern}")
        message(FATAL_ERROR "package lacks '${pattern}':\n${contents}")
    endif()
endforeach()
if(contents MATCHES "/detail/|qel")
    message(FATAL_ERROR "package carries internal files:\n${contents}")
endif()
file(REMOVE_RECURSE ${WORK_DIR})
