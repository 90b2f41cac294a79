# The library as a plug-in host uses it: tests/unload/dlopen_cycles.cpp loads and unloads
# libzoltov.so with dlopen and dlclose and does not link it, so every load is the host's own.
add_executable(dlopen_cycles ${CMAKE_CURRENT_LIST_DIR}/dlopen_cycles.cpp)
target_include_directories(dlopen_cycles PRIVATE ${PROJECT_SOURCE_DIR}/api/common/zoltov)
target_compile_definitions(dlopen_cycles PRIVATE ZOL_LIBRARY_PATH="$<TARGET_FILE:zoltov>")
target_link_libraries(dlopen_cycles PRIVATE GTest::gtest_main ${CMAKE_DL_LIBS} zol_warnings)
add_dependencies(dlopen_cycles zoltov)
# The undefined-behaviour sanitizer checks member accesses against the class's type
# information, which lives in the library this program does not link.
if(ZOL_SANITIZE STREQUAL "address")
    target_compile_options(dlopen_cycles PRIVATE -fno-sanitize=vptr)
endif()
gtest_discover_tests(dlopen_cycles DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300 LABELS dlopen_cycles)
