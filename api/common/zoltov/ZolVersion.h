/// @file
/// ZolVersion.h - the version of these headers, for the preprocessor.
///
/// MAJOR.MINOR.PATCH, with the meaning versioning.md gives them: a program built against
/// headers of one major version runs with every later library of that major version. The
/// macros tell which headers a program was compiled with; the library in use is the one the
/// dynamic loader finds (libzoltov.so.MAJOR). The build takes its version from this file.
#ifndef ZOLTOV_ZOLVERSION_H
#define ZOLTOV_ZOLVERSION_H

/// Incompatible changes of the binary interface (and the SONAME libzoltov.so.MAJOR).
#define ZOLTOV_VERSION_MAJOR 1
/// Additions that leave every existing program working.
#define ZOLTOV_VERSION_MINOR 0
/// Fixes that change no interface.
#define ZOLTOV_VERSION_PATCH 0
/// The version as one number for comparisons: MAJOR * 10000 + MINOR * 100 + PATCH, so
/// `#if ZOLTOV_VERSION >= 10100` asks for 1.1.0 or later.
#define ZOLTOV_VERSION \
    (ZOLTOV_VERSION_MAJOR * 10000 + ZOLTOV_VERSION_MINOR * 100 + ZOLTOV_VERSION_PATCH)
/// The version as text, "MAJOR.MINOR.PATCH".
#define ZOLTOV_VERSION_STRING "1.0.0"

#endif  // ZOLTOV_ZOLVERSION_H
