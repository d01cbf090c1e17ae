// The software card's fault file: any content through LoadFaultPlan; a valid plan writes back to JSON that
// reads again to the same plan, and taking failures from it never runs away.
#include "core/faults.h"
#include "fuzz_support.h"

#include <vector>

using namespace rv;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const auto file = fuzz::WorkDir() / "card.json.faults";
    fuzz::WriteFile(file, fuzz::Bytes(data, size));

    softcard::FaultPlan plan;
    std::string error;
    if (!softcard::LoadFaultPlan(file, plan, error)) {
        RV_FUZZ_CHECK(!error.empty());
        RV_FUZZ_CHECK(plan.Empty());
        return 0;
    }
    for (const auto& [name, fault] : plan.methods) {
        RV_FUZZ_CHECK(fault.delayMs >= 0 && fault.delayMs <= softcard::kMaxFaultDelayMs);
        RV_FUZZ_CHECK(fault.fail >= -1);
    }
    RV_FUZZ_CHECK(plan.saveDelayMs >= 0 && plan.saveDelayMs <= softcard::kMaxFaultDelayMs);
    const std::string json = softcard::FaultPlanToJson(plan);
    softcard::FaultPlan again;
    std::string error2;
    RV_FUZZ_CHECK(softcard::FaultPlanFromJson(json, again, error2));
    RV_FUZZ_CHECK(softcard::FaultPlanToJson(again) == json);

    // A few calls of every named method consume counts and stop.
    // (Names copied first: a plan with nothing left for a method drops it from the map.)
    std::vector<std::string> names;
    for (const auto& entry : again.methods) {
        names.push_back(entry.first);
    }
    for (const std::string& name : names) {
        for (int i = 0; i < 3; ++i) {
            softcard::MethodFault fired;
            bool changed = false;
            (void)softcard::TakeFailure(again, name, fired, changed);
        }
    }
    return 0;
}
