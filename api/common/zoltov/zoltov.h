// zoltov.h - includes every public header of the library.
#ifndef ZOLTOV_ZOLTOV_H
#define ZOLTOV_ZOLTOV_H

#include "ZolExport.h"
#include "ZolTrace.h"
#include "ZolCString.h"
#include "CZolString.h"
#include "CZolException.h"

#endif  // ZOLTOV_ZOLTOV_H
