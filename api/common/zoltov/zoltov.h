/// @file
/// zoltov.h - includes every public header of the library.
#ifndef ZOLTOV_ZOLTOV_H
#define ZOLTOV_ZOLTOV_H

#include "ZolVersion.h"
#include "ZolExport.h"
#include "ZolTrace.h"
#include "ZolCString.h"
#include "CZolString.h"
#include "CZolException.h"
#include "CZolIniFile.h"
#include "CZolStream.h"
#include "CZolStreamBuffer.h"
#include "CZolTimeSpan.h"
#include "CZolTime.h"
#include "CZolArray.h"
#include "CZolIntArray.h"
#include "CZolCounter.h"
#include "CZolFindFile.h"
#include "CZolEventLog.h"
#include "CZolTovEventLog.h"
#include "CZolModule.h"
#include "CZolSyncObject.h"
#include "CZolMutex.h"
#include "CZolLightMutex.h"
#include "CZolEvent.h"
#include "CZolSingleLock.h"
#include "CZolLocker.h"
#include "CZolTracer.h"
#include "CZolRWLock.h"
#include "CZolRWLocker.h"
#include "CZolThread.h"
#include "CZolShMem.h"
#include "CZolSharedMemory.h"
#include "CZolStreamSharedMemory.h"

#endif  // ZOLTOV_ZOLTOV_H
