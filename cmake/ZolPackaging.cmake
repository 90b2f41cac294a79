# Installation, the CMake package, the pkg-config file and the Debian package.
#
#   <prefix>/include/zoltov/*.h             public headers (detail/ stays private)
#   <prefix>/<libdir>/libzoltov.so.1.x.y    with the libzoltov.so.1 and libzoltov.so links
#   <prefix>/<libdir>/cmake/ZolTov/         find_package(ZolTov) -> ZolTov::zoltov
#   <prefix>/<libdir>/pkgconfig/zoltov.pc
#   <prefix>/bin/zoltov                     the tool (installed from tools/)
include(CMakePackageConfigHelpers)

set(ZOL_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/ZolTov)

# Clients write either #include <zoltov/zoltov.h> or, with the zoltov directory on their
# path, #include <zoltov.h>: both resolve, in the build tree and once installed.
target_include_directories(zoltov PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/api/common>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

install(TARGETS zoltov
    EXPORT ZolTovTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        COMPONENT runtime
        NAMELINK_COMPONENT development
    PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zoltov
        COMPONENT development)

install(EXPORT ZolTovTargets
    NAMESPACE ZolTov::
    DESTINATION ${ZOL_INSTALL_CMAKEDIR}
    COMPONENT development)

configure_package_config_file(
    ${CMAKE_CURRENT_LIST_DIR}/ZolTovConfig.cmake.in
    ${PROJECT_BINARY_DIR}/ZolTovConfig.cmake
    INSTALL_DESTINATION ${ZOL_INSTALL_CMAKEDIR})
# Same major version: the binary interface is kept within a major version.
write_basic_package_version_file(
    ${PROJECT_BINARY_DIR}/ZolTovConfigVersion.cmake
    VERSION ${PROJECT_VERSION}
    COMPATIBILITY SameMajorVersion)
install(FILES
        ${PROJECT_BINARY_DIR}/ZolTovConfig.cmake
        ${PROJECT_BINARY_DIR}/ZolTovConfigVersion.cmake
    DESTINATION ${ZOL_INSTALL_CMAKEDIR}
    COMPONENT development)

# pkg-config wants absolute directories; GNUInstallDirs may already give absolute ones.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
    set(ZOL_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
else()
    set(ZOL_PC_LIBDIR "\${exec_prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
    set(ZOL_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
    set(ZOL_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
# The prefix line is rewritten at install time so that `cmake --install --prefix DIR`
# gives a zoltov.pc that points into DIR, not at the configured prefix. Each prefix gets
# its own scratch copy, so installs into several prefixes at once do not mix them up.
configure_file(${CMAKE_CURRENT_LIST_DIR}/zoltov.pc.in ${PROJECT_BINARY_DIR}/zoltov.pc.in.configured @ONLY)
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
    set(ZOL_PC_DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
else()
    set(ZOL_PC_DESTINATION "\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig")
endif()
install(CODE "
    file(READ \"${PROJECT_BINARY_DIR}/zoltov.pc.in.configured\" _zol_pc)
    string(REGEX REPLACE \"^prefix=[^\\n]*\" \"prefix=\${CMAKE_INSTALL_PREFIX}\" _zol_pc \"\${_zol_pc}\")
    string(MD5 _zol_pc_key \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
    set(_zol_pc_file \"${PROJECT_BINARY_DIR}/pkgconfig-staging/\${_zol_pc_key}/zoltov.pc\")
    file(WRITE \"\${_zol_pc_file}\" \"\${_zol_pc}\")
    file(INSTALL DESTINATION \"${ZOL_PC_DESTINATION}\" TYPE FILE FILES \"\${_zol_pc_file}\")
    " COMPONENT development)

# Install test: installs this build into a temporary prefix, then builds and runs a
# small consumer through the CMake package and through pkg-config. The consumer is an
# ordinary program, so it is not built against sanitizer runtimes.
if(ZOL_BUILD_TESTS AND NOT ZOL_SANITIZE)
    add_test(NAME install.consumer
        COMMAND ${CMAKE_COMMAND}
            -DBUILD_DIR=${PROJECT_BINARY_DIR}
            -DCONSUMER_DIR=${PROJECT_SOURCE_DIR}/tests/install/consumer
            -DWORK_DIR=${PROJECT_BINARY_DIR}/tests/install-work
            -DCXX_COMPILER=${CMAKE_CXX_COMPILER}
            -DGENERATOR=${CMAKE_GENERATOR}
            -P ${PROJECT_SOURCE_DIR}/tests/install/RunInstallTest.cmake)
    set_tests_properties(install.consumer PROPERTIES TIMEOUT 600 LABELS install)
    find_program(ZOL_DPKG_DEB dpkg-deb)
    if(ZOL_DPKG_DEB AND TARGET zoltov-tool)
        add_test(NAME install.debian_package
            COMMAND ${CMAKE_COMMAND}
                -DCPACK_CONFIG=${PROJECT_BINARY_DIR}/CPackConfig.cmake
                -DWORK_DIR=${PROJECT_BINARY_DIR}/tests/package-work
                -DCPACK=${CMAKE_CPACK_COMMAND}
                -DDPKG_DEB=${ZOL_DPKG_DEB}
                -P ${PROJECT_SOURCE_DIR}/tests/install/RunPackageTest.cmake)
        set_tests_properties(install.debian_package PROPERTIES TIMEOUT 600 LABELS install)
    endif()
endif()

# Debian package: library, headers, CMake/pkg-config files and the tool in one package.
set(CPACK_PACKAGE_NAME "zoltov")
set(CPACK_PACKAGE_VENDOR "ZolTov")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "ZolTov foundation-class library, headers and the zoltov tool")
set(CPACK_PACKAGE_CONTACT "ZolTov developers <zoltov@localhost>")
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_PACKAGE_SECTION "libs")
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "amd64")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEB_COMPONENT_INSTALL OFF)
set(CPACK_SOURCE_IGNORE_FILES "/build/;/\\\\.git/")
include(CPack)
