// Actions that a test plans for the middle of a run: at the n-th call of a
// file function (or of any of them), the action runs before the call does
// what it does. It plays what an opportunistic lock gives another process on
// Windows: a moment, chosen by the attacker, to change the machine.
#include <map>

#include "sim/control.h"
#include "sim/files.h"

namespace sim::detail {

namespace {

struct Plan {
    std::string api; // empty: any file function
    unsigned at;
    std::function<void()> action;
};

struct Hooks {
    std::map<std::string, unsigned> counts; // "" counts every call
    std::vector<Plan> plans;
};

Hooks &State() {
    static Hooks hooks;
    return hooks;
}

} // namespace

void NoteCall(const char *api) {
    SIM_LOCK();
    Hooks &hooks = State();
    unsigned any = ++hooks.counts[""];
    unsigned mine = ++hooks.counts[api];
    for (size_t i = 0; i < hooks.plans.size(); ++i) {
        Plan &plan = hooks.plans[i];
        if ((plan.api.empty() && plan.at == any) || (plan.api == api && plan.at == mine)) {
            std::function<void()> action = std::move(plan.action);
            hooks.plans.erase(hooks.plans.begin() + static_cast<std::ptrdiff_t>(i));
            action();
            return;
        }
    }
}

void ResetCallHooks() {
    SIM_LOCK();
    State() = Hooks();
}

} // namespace sim::detail

namespace sim {

void AtCall(const std::string &api, unsigned n, std::function<void()> action) {
    SIM_LOCK();
    detail::State().plans.push_back({api, n, std::move(action)});
}

unsigned FileCalls(const std::string &api) {
    SIM_LOCK();
    auto it = detail::State().counts.find(api);
    return it == detail::State().counts.end() ? 0 : it->second;
}

} // namespace sim
