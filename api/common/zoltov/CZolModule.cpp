#include "CZolModule.h"

#include "detail/ZolLoadOrder.h"

CZolModule::CZolModule() {}

CZolModule::~CZolModule() {}

CZolModule theModule ZOL_LOAD_ORDER(ZOL_LOAD_ORDER_MODULE);

CZolString zolTovGetVolumarPath() {
    return CZolString("/opt/zol/bin/");
}
