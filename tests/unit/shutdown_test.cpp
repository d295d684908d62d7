// The shutdown's order: the stages run in their own order whatever the order of installation,
// each end runs only its own stages, and an interrupt during the end of the program takes over
// at the stage under way.
#include "platform/shutdown.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr const char* StageNames[] = {"stop", "log", "enter", "ports", "trace", "pad"};

// Says on standard error which stage ran for which end (n, f or i).
template <ShutdownStage Stage>
void Say(ShutdownKind kind, int) {
    std::fprintf(stderr, "%s:%c ", StageNames[static_cast<int>(Stage)],
                 "nfi"[static_cast<int>(kind)]);
    if (Stage == ShutdownStage::PortsGivenBack && kind != ShutdownKind::Interrupt &&
        std::getenv("SHUTDOWN_TEST_INTERRUPT") != nullptr) {
        RunShutdown(ShutdownKind::Interrupt, 130);  // Ctrl-C while the output drains
    }
}

void InstallBackwards() {
    InstallShutdownAction(ShutdownStage::HyperPadRemoved, Say<ShutdownStage::HyperPadRemoved>);
    InstallShutdownAction(ShutdownStage::TraceFinished, Say<ShutdownStage::TraceFinished>);
    InstallShutdownAction(ShutdownStage::PortsGivenBack, Say<ShutdownStage::PortsGivenBack>);
    InstallShutdownAction(ShutdownStage::FailureShown, Say<ShutdownStage::FailureShown>);
    InstallShutdownAction(ShutdownStage::LogRecordWritten, Say<ShutdownStage::LogRecordWritten>);
    InstallShutdownAction(ShutdownStage::TraceStopNoted, Say<ShutdownStage::TraceStopNoted>);
}

TEST(Shutdown, EachEndRunsItsStagesInTheirOrder) {
    struct Case {
        ShutdownKind kind;
        bool interruptWhileDraining;
        const char* ran;
    } const cases[] = {
        {ShutdownKind::Normal, false, "^log:n ports:n trace:n $"},
        {ShutdownKind::Failure, false, "^log:f enter:f ports:f trace:f $"},
        {ShutdownKind::Interrupt, false, "^stop:i log:i ports:i trace:i pad:i $"},
        {ShutdownKind::Failure, true, "^log:f enter:f ports:f ports:i trace:i pad:i $"},
    };
    for (const Case& c : cases) {
        EXPECT_EXIT(
            {
                if (c.interruptWhileDraining) {
                    setenv("SHUTDOWN_TEST_INTERRUPT", "1", 1);
                }
                InstallBackwards();
                RunShutdown(c.kind, 1);
                RunShutdown(c.kind, 1);  // a second end has nothing left to do
                std::_Exit(0);
            },
            ::testing::ExitedWithCode(0), c.ran)
            << c.ran;
    }
}

}  // namespace
