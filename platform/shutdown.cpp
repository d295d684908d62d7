// The end of the program: one action per stage, run in the stages' order.
#include "platform/shutdown.h"

#include <array>
#include <cstddef>
#include <cstdio>

namespace {

constexpr std::size_t StageCount = static_cast<std::size_t>(ShutdownStage::Count);

constexpr unsigned Bit(ShutdownKind kind) {
    return 1u << static_cast<unsigned>(kind);
}
constexpr unsigned Always =
    Bit(ShutdownKind::Normal) | Bit(ShutdownKind::Failure) | Bit(ShutdownKind::Interrupt);

// The kinds of end each stage belongs to, in the order of ShutdownStage.
constexpr std::array<unsigned, StageCount> RunsOn{
    Bit(ShutdownKind::Interrupt),  // TraceStopNoted
    Always,                        // LogRecordWritten
    Bit(ShutdownKind::Failure),    // FailureShown
    Always,                        // PortsGivenBack
    Always,                        // TraceFinished
    Bit(ShutdownKind::Interrupt),  // HyperPadRemoved
};

std::array<ShutdownAction, StageCount> actions{};
// The first stage not begun yet, and the kind of end under way once one has begun.
std::size_t next = 0;
bool begun = false;
ShutdownKind current = ShutdownKind::Normal;

}  // namespace

void InstallShutdownAction(ShutdownStage stage, ShutdownAction action) {
    const auto index = static_cast<std::size_t>(stage);
    if (index < StageCount) {
        actions[index] = action;
    }
}

void RunShutdown(ShutdownKind kind, int exitCode) {
    if (begun && next > 0 && kind == ShutdownKind::Interrupt && current != kind) {
        --next;
    }
    begun = true;
    current = kind;
    while (next < StageCount) {
        const std::size_t stage = next++;
        if (actions[stage] != nullptr && (RunsOn[stage] & Bit(kind)) != 0) {
            actions[stage](kind, exitCode);
        }
    }
    std::fflush(stdout);
    std::fflush(stderr);
}
