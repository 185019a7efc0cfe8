// The simulated user: message boxes answered from a script and recorded,
// and window calls recorded for the tests to read.
#include <deque>
#include <vector>

#include "sim/control.h"
#include "sim/internal.h"

namespace sim::detail {

namespace {

std::deque<int> &Answers() {
    static std::deque<int> answers;
    return answers;
}

std::vector<sim::MessageBoxRecord> &Boxes() {
    static std::vector<sim::MessageBoxRecord> boxes;
    return boxes;
}

std::vector<sim::ShowWindowRecord> &Shows() {
    static std::vector<sim::ShowWindowRecord> shows;
    return shows;
}

} // namespace

void ResetUi() {
    SIM_LOCK();
    Answers().clear();
    Boxes().clear();
    Shows().clear();
}

} // namespace sim::detail

using namespace sim::detail;

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    SIM_LOCK();
    DWORD code;
    if (TakeFault("MessageBoxA", text, &code))
        return Fail(code, 0);
    int answer = (type & 0xF) == MB_YESNO ? IDNO : IDOK;
    if (!Answers().empty()) {
        answer = Answers().front();
        Answers().pop_front();
    }
    Boxes().push_back(sim::MessageBoxRecord{owner, text ? text : "", caption ? caption : "", type, answer});
    return answer;
}

BOOL ShowWindow(HWND hwnd, int command) {
    SIM_LOCK();
    Shows().push_back(sim::ShowWindowRecord{hwnd, command});
    return TRUE;
}

namespace sim {

void ScriptMessageBoxAnswers(const std::vector<int> &answers) {
    SIM_LOCK();
    Answers().assign(answers.begin(), answers.end());
}

std::vector<MessageBoxRecord> MessageBoxes() {
    SIM_LOCK();
    return Boxes();
}

std::vector<ShowWindowRecord> ShowWindowCalls() {
    SIM_LOCK();
    return Shows();
}

} // namespace sim
