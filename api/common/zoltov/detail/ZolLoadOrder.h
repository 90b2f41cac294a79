// ZolLoadOrder.h - internal: the construction order of the library's load-time objects.
//
// The three objects live in different translation units, whose relative initialisation
// order the language leaves open. init_priority fixes it: lower numbers are constructed
// first, and since each object registers its destructor as it is constructed, unload
// destroys them in the reverse order. Values up to 100 are reserved for the runtime.
#ifndef ZOLTOV_DETAIL_ZOLLOADORDER_H
#define ZOLTOV_DETAIL_ZOLLOADORDER_H

#define ZOL_LOAD_ORDER_TRACER 1001
#define ZOL_LOAD_ORDER_EVENTLOG 1002
#define ZOL_LOAD_ORDER_MODULE 1003

#define ZOL_LOAD_ORDER(priority) __attribute__((init_priority(priority)))

#endif  // ZOLTOV_DETAIL_ZOLLOADORDER_H
