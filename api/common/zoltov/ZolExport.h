/// @file
/// ZolExport.h - marks the declarations that make up the library's binary interface.
///
/// The library is built with hidden visibility: only what carries ZOL_API is exported
/// from libzoltov.so. Client programs see the same attribute, which is harmless there.
#ifndef ZOLTOV_ZOLEXPORT_H
#define ZOLTOV_ZOLEXPORT_H

/// Marks a class or function as part of the exported interface (default visibility); everything
/// else in the library is hidden.
#define ZOL_API __attribute__((visibility("default")))

#endif  // ZOLTOV_ZOLEXPORT_H
