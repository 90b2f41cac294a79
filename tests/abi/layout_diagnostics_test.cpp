// The field layout of the event log, module and tracer classes, as compiled client
// programs see it.
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
#include <cstddef>

#include <gtest/gtest.h>

#include "CZolModule.h"
#include "CZolTovEventLog.h"
#include "CZolTracer.h"

namespace {
// Protected fields are reached through a derived probe with no fields of its own.
struct EventLogProbe : CZolEventLog {
    static constexpr size_t module() { return offsetof(EventLogProbe, m_strModule); }
    static constexpr size_t source() { return offsetof(EventLogProbe, m_strSource); }
    static constexpr size_t logFile() { return offsetof(EventLogProbe, m_strLogFile); }
};
struct TracerProbe : CZolTracer {
    static constexpr size_t mutex() { return offsetof(TracerProbe, m_pMutex); }
};
}  // namespace

static_assert(sizeof(CZolEventLog) == 56, "vptr + three CZolString");
static_assert(EventLogProbe::module() == 8);
static_assert(EventLogProbe::source() == 24);
static_assert(EventLogProbe::logFile() == 40);
static_assert(sizeof(CZolTovEventLog) == sizeof(CZolEventLog), "adds no fields");
static_assert(sizeof(CZolModule) == 8, "vptr only");
static_assert(sizeof(CZolTracer) == 16, "vptr + mutex pointer");
static_assert(TracerProbe::mutex() == 8);

TEST(LayoutDiagnostics, DefaultTracerPointsToTheGlobalTracer) {
    EXPECT_EQ(CZolTracer::g_pTracer, &g_Tracer);
}
