# Warnings shared by every target of the project.
add_library(zol_warnings INTERFACE)
target_compile_options(zol_warnings INTERFACE -Wall -Wextra -Wno-unused-parameter)
if(ZOL_WERROR)
    target_compile_options(zol_warnings INTERFACE -Werror)
endif()
# clang checks what each internal lock guards (platform/qelThreadSafety.h): a use without the
# lock is a warning, an error with ZOL_WERROR. So that the check cannot go quiet unnoticed, the
# configuration makes sure it bites: a read of a guarded variable without its lock must not
# compile.
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    target_compile_options(zol_warnings INTERFACE -Wthread-safety)
    include(CheckCXXSourceCompiles)
    set(CMAKE_REQUIRED_FLAGS "-std=c++17 -Wthread-safety -Werror")
    set(CMAKE_REQUIRED_INCLUDES ${PROJECT_SOURCE_DIR}/platform)
    set(CMAKE_REQUIRED_QUIET ON)
    check_cxx_source_compiles("#include \"qelThreadSafety.h\"
qel::Mutex lock;
int guarded QEL_GUARDED_BY(lock);
int main() { return guarded; }" ZOL_UNGUARDED_READ_COMPILES)
    unset(CMAKE_REQUIRED_FLAGS)
    unset(CMAKE_REQUIRED_INCLUDES)
    unset(CMAKE_REQUIRED_QUIET)
    if(ZOL_UNGUARDED_READ_COMPILES)
        message(FATAL_ERROR "-Wthread-safety does not check qelThreadSafety.h's annotations")
    endif()
endif()
