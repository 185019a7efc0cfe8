// The simulated user interface around the dialog runtime: message boxes
// answered from a script and recorded, fonts and stock brushes, the common
// controls' class registration, and restart requests recorded, never acted on.
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <vector>

#include "sim/control.h"
#include "sim/internal.h"

namespace sim::detail {

namespace {

std::deque<int> &Answers() {
    static std::deque<int> answers;
    return answers;
}

std::function<void(const std::string &)> &Meanwhile() {
    static std::function<void(const std::string &)> meanwhile;
    return meanwhile;
}

std::vector<sim::MessageBoxRecord> &Boxes() {
    static std::vector<sim::MessageBoxRecord> boxes;
    return boxes;
}

// GDI objects: fonts by handle, with whether they still live; stock objects
// are fixed handles of their own range that nobody deletes.
constexpr uintptr_t kFirstFont = 0x00B00010;
constexpr uintptr_t kStockBase = 0x00B80000;
constexpr int kStockObjects = 20; // WHITE_BRUSH (0) up to DC_PEN (19)

struct Font {
    LOGFONTA description;
    bool live;
};

struct Gdi {
    std::map<uintptr_t, Font> fonts;
    uintptr_t next = kFirstFont;
};

Gdi &Objects() {
    static Gdi gdi;
    return gdi;
}

std::set<std::string> &RegisteredClasses() {
    static std::set<std::string> classes;
    return classes;
}

std::vector<sim::ExitWindowsRecord> &ExitRequests() {
    static std::vector<sim::ExitWindowsRecord> requests;
    return requests;
}

} // namespace

void ResetUi() {
    SIM_LOCK();
    Answers().clear();
    Meanwhile() = nullptr;
    Boxes().clear();
    Objects() = Gdi{};
    RegisteredClasses().clear();
    ExitRequests().clear();
    ResetDialogs();
}

HFONT NewFont(const LOGFONTA &font) {
    SIM_LOCK();
    Gdi &gdi = Objects();
    uintptr_t handle = gdi.next;
    gdi.next += 4;
    gdi.fonts[handle] = Font{font, true};
    return reinterpret_cast<HFONT>(handle);
}

void ReleaseFont(HFONT font) {
    SIM_LOCK();
    auto it = Objects().fonts.find(reinterpret_cast<uintptr_t>(font));
    if (it != Objects().fonts.end())
        it->second.live = false;
}

bool WindowClassRegistered(const std::string &className) {
    SIM_LOCK();
    // The system's own classes always exist; the common controls' only once
    // InitCommonControlsEx has registered them.
    if (EqualNoCase(className, "Static") || EqualNoCase(className, "Button") || className == "#32770")
        return true;
    return RegisteredClasses().count(Upper(className)) > 0;
}

} // namespace sim::detail

using namespace sim::detail;

// Recorded and answered when shown; while it is up the test's `meanwhile`
// runs on the showing thread without the machine lock, as the box's own
// message loop lets other messages of that thread be handled meanwhile.
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    int answer = (type & 0xF) == MB_YESNO ? IDNO : IDOK;
    std::function<void(const std::string &)> meanwhile;
    {
        SIM_LOCK();
        DWORD code;
        if (TakeFault("MessageBoxA", text, &code))
            return Fail(code, 0);
        if (!Answers().empty()) {
            answer = Answers().front();
            Answers().pop_front();
        }
        Boxes().push_back(sim::MessageBoxRecord{owner, text ? text : "", caption ? caption : "", type, answer});
        meanwhile = Meanwhile();
    }
    if (meanwhile)
        meanwhile(text ? text : "");
    return answer;
}

HFONT CreateFontIndirectA(const LOGFONTA *font) {
    SIM_LOCK();
    DWORD code;
    if (TakeFault("CreateFontIndirectA", font ? font->lfFaceName : nullptr, &code))
        return Fail(code, static_cast<HFONT>(nullptr));
    if (font == nullptr)
        return Fail(ERROR_INVALID_PARAMETER, static_cast<HFONT>(nullptr));
    return NewFont(*font);
}

HGDIOBJ GetStockObject(int object) {
    SIM_LOCK();
    DWORD code;
    if (TakeFault("GetStockObject", nullptr, &code))
        return Fail(code, static_cast<HGDIOBJ>(nullptr));
    if (object < 0 || object >= kStockObjects || object == 9) // 9 was never assigned
        return nullptr;
    return reinterpret_cast<HGDIOBJ>(kStockBase + 4 * static_cast<uintptr_t>(object));
}

BOOL DeleteObject(HGDIOBJ object) {
    SIM_LOCK();
    DWORD code;
    if (TakeFault("DeleteObject", nullptr, &code))
        return Fail(code, FALSE);
    uintptr_t value = reinterpret_cast<uintptr_t>(object);
    if (value >= kStockBase && value < kStockBase + 4 * kStockObjects)
        return TRUE; // deleting a stock object is allowed and does nothing
    auto it = Objects().fonts.find(value);
    if (it == Objects().fonts.end() || !it->second.live)
        return Fail(ERROR_INVALID_PARAMETER, FALSE);
    it->second.live = false;
    return TRUE;
}

BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX *init) {
    SIM_LOCK();
    DWORD code;
    if (TakeFault("InitCommonControlsEx", nullptr, &code))
        return Fail(code, FALSE);
    if (init == nullptr || init->dwSize != sizeof(INITCOMMONCONTROLSEX))
        return FALSE;
    if (init->dwICC & ICC_PROGRESS_CLASS)
        RegisteredClasses().insert(Upper("msctls_progress32"));
    return TRUE;
}

BOOL ExitWindowsEx(UINT flags, DWORD reason) {
    SIM_LOCK();
    DWORD code;
    if (TakeFault("ExitWindowsEx", nullptr, &code))
        return Fail(code, FALSE);
    // Shutting down, restarting or powering off (1, 2, 8) needs the caller's
    // SeShutdownPrivilege enabled; logging off does not.
    bool needsPrivilege = (flags & 0xBu) != 0;
    BOOL result = !needsPrivilege || sim::PrivilegeEnabled(SE_SHUTDOWN_NAME);
    ExitRequests().push_back(sim::ExitWindowsRecord{flags, reason, result});
    return result ? Fail(ERROR_SUCCESS, TRUE) : Fail(ERROR_PRIVILEGE_NOT_HELD, FALSE);
}

namespace sim {

void ScriptMessageBoxAnswers(const std::vector<int> &answers) {
    SIM_LOCK();
    Answers().assign(answers.begin(), answers.end());
}

void WhileMessageBoxUp(std::function<void(const std::string &text)> meanwhile) {
    SIM_LOCK();
    Meanwhile() = std::move(meanwhile);
}

std::vector<MessageBoxRecord> MessageBoxes() {
    SIM_LOCK();
    return Boxes();
}

std::optional<LOGFONTA> FontDescription(HFONT font) {
    SIM_LOCK();
    auto it = Objects().fonts.find(reinterpret_cast<uintptr_t>(font));
    if (it == Objects().fonts.end())
        return std::nullopt;
    return it->second.description;
}

size_t LiveFonts() {
    SIM_LOCK();
    size_t n = 0;
    for (auto &entry : Objects().fonts)
        n += entry.second.live ? 1 : 0;
    return n;
}

std::vector<ExitWindowsRecord> ExitWindowsCalls() {
    SIM_LOCK();
    return ExitRequests();
}

} // namespace sim
