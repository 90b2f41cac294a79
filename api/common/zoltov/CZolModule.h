/// @file
/// CZolModule.h - the module object the library creates at load time, and the directory
/// of the maker's installed programs.
#ifndef ZOLTOV_CZOLMODULE_H
#define ZOLTOV_CZOLMODULE_H

#include "CZolString.h"
#include "ZolExport.h"

/// The module object the library creates at load time, and the directory of the maker's
/// installed programs. The full contract is in the description of CZolModule.h.
class ZOL_API CZolModule {
public:
    /// Nothing to set up beyond the object itself.
    CZolModule();
    virtual ~CZolModule();
};

/// The library's module object: the last of the three load-time objects to be constructed
/// and the first to be destroyed at unload, which is at process exit (dlclose leaves the
/// library loaded).
extern ZOL_API CZolModule theModule;

/// The directory of the maker's installed programs, "/opt/zol/bin/" (with the trailing
/// slash). Returns a new string each call; any thread.
ZOL_API CZolString zolTovGetVolumarPath();

#endif  // ZOLTOV_CZOLMODULE_H
