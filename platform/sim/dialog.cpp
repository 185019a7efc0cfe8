// The simulated window manager: the dialog runtime that creates the program's
// dialog from its template, runs the dialog procedure and its message queue
// until EndDialog, the controls' own message handling, and the scripted user
// who clicks and closes.
//
// One dialog runs at a time, on the thread that called DialogBoxParamA. Its
// queue is fed by PostMessageA from any thread, by messages sent from other
// threads (which wait for the dialog thread to handle them, as on Windows)
// and, whenever the queue runs empty, by the next scripted user action.
// Controls handle their state messages (WM_SETTEXT, WM_SETFONT,
// PBM_SETMARQUEE) on the caller's thread: on Windows a worker's call waits
// for the dialog thread instead, which only matters when that thread does not
// pump messages.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <optional>
#include <thread>

#include "resources/resource.h"
#include "sim/control.h"
#include "sim/internal.h"

namespace sim::detail {

namespace {

constexpr uintptr_t kFirstWindow = 0x000A0010;
constexpr DWORD kDefaultSafetyMs = 10000;
constexpr const char *kDialogClass = "#32770";
constexpr const char *kProgressClass = "msctls_progress32";
constexpr UINT kDefaultMarqueeStepMs = 30;

struct Window {
    HWND parent = nullptr;
    int id = 0;
    std::string className;
    std::string text;
    LONG style = 0;
    int x = 0, y = 0, cx = 0, cy = 0;
    HFONT font = nullptr;
    bool marquee = false;
    UINT marqueeStepMs = 0;
    bool destroyed = false;
};

// Dialog template IDD_MAIN as resources/app.rc describes it (a unit test of
// the main dialog holds the two together).
const LONG kDialogStyle = static_cast<LONG>(WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX |
                                            DS_MODALFRAME | DS_CENTER | DS_SETFONT | DS_FIXEDSYS | DS_3DLOOK);
const int kDialogCx = 274, kDialogCy = 48;

struct ControlTemplate {
    int id;
    const char *className;
    LONG style;
    int x, y, cx, cy;
};

const ControlTemplate kControls[] = {
    {IDC_TITLE, "Static", static_cast<LONG>(WS_CHILD | WS_VISIBLE | SS_CENTER | WS_GROUP), 3, 2, 268, 15},
    {IDC_PROGRESS, kProgressClass, static_cast<LONG>(WS_CHILD | WS_BORDER), 14, 16, 246, 10},
    {IDC_REMOVE_PRODUCT, "Button", static_cast<LONG>(WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON | WS_TABSTOP), 3, 29, 129,
     16},
    {IDC_REMOVE_COMPLETELY, "Button", static_cast<LONG>(WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON | WS_TABSTOP), 133, 29,
     138, 16},
};

struct Reply {
    bool done = false;
    LRESULT result = 0;
};

struct Message {
    HWND target;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    std::shared_ptr<Reply> reply; // set for a message sent from another thread
};

// A running dialog. Its queue, end flag and result are guarded by `lock`,
// which is taken after the machine lock, never before it.
struct DialogRun {
    HWND hwnd = nullptr;
    DLGPROC proc = nullptr;
    std::thread::id thread;
    HFONT font = nullptr;
    std::mutex lock;
    std::condition_variable signal;
    std::deque<Message> queue;
    bool ended = false;
    INT_PTR result = 0;
};

struct WindowManager {
    std::map<uintptr_t, Window> windows;
    uintptr_t next = kFirstWindow;
    std::shared_ptr<DialogRun> run;
    HWND lastDialog = nullptr;
    std::vector<sim::DialogMessageRecord> delivered;
    std::deque<sim::UserAction> script;
    bool timedOut = false;
    DWORD safetyMs = kDefaultSafetyMs;
    std::vector<sim::ShowWindowRecord> shows;
    std::vector<sim::AnimateWindowRecord> animations;
};

WindowManager &Wm() {
    static WindowManager wm;
    return wm;
}

// A live window; destroyed ones stay in the table for the tests to read.
Window *LiveWindow(HWND hwnd) {
    auto it = Wm().windows.find(reinterpret_cast<uintptr_t>(hwnd));
    return it == Wm().windows.end() || it->second.destroyed ? nullptr : &it->second;
}

HWND AddWindow(Window window) {
    uintptr_t value = Wm().next;
    Wm().next += 4;
    Wm().windows[value] = std::move(window);
    return reinterpret_cast<HWND>(value);
}

HWND FindControl(HWND dialog, int id) {
    for (auto &entry : Wm().windows)
        if (!entry.second.destroyed && entry.second.parent == dialog && entry.second.id == id)
            return reinterpret_cast<HWND>(entry.first);
    return nullptr;
}

bool IsProgressBar(const Window &w) { return EqualNoCase(w.className, kProgressClass); }
bool IsButton(const Window &w) { return EqualNoCase(w.className, "Button"); }

// The messages a control handles by itself; called with the machine lock held.
LRESULT ControlMessage(Window &w, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_SETTEXT:
        w.text = lParam ? reinterpret_cast<const char *>(lParam) : "";
        return TRUE;
    case WM_GETTEXT: {
        if (wParam == 0 || lParam == 0)
            return 0;
        size_t n = std::min(w.text.size(), static_cast<size_t>(wParam) - 1);
        char *out = reinterpret_cast<char *>(lParam);
        w.text.copy(out, n);
        out[n] = '\0';
        return static_cast<LRESULT>(n);
    }
    case WM_SETFONT:
        w.font = reinterpret_cast<HFONT>(wParam);
        return 0;
    case PBM_SETMARQUEE:
        if (!IsProgressBar(w))
            return 0;
        w.marquee = wParam != 0;
        w.marqueeStepMs = lParam != 0 ? static_cast<UINT>(lParam) : kDefaultMarqueeStepMs;
        return TRUE;
    default:
        return 0;
    }
}

// What DefDlgProc does with a message the dialog procedure did not handle.
LRESULT DefaultDialogMessage(DialogRun &run, UINT message, LPARAM lParam) {
    SIM_LOCK();
    Window *dialog = LiveWindow(run.hwnd);
    if (dialog == nullptr)
        return 0;
    if (message == WM_SETTEXT)
        return ControlMessage(*dialog, message, 0, lParam);
    if (message == WM_CLOSE) {
        std::lock_guard<std::mutex> queueLock(run.lock);
        run.queue.push_back(Message{run.hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0, nullptr});
        run.signal.notify_all();
    }
    return 0;
}

// Hands a message to the dialog procedure; never called with the machine
// lock held, so that other threads keep using the machine meanwhile.
LRESULT Deliver(const std::shared_ptr<DialogRun> &run, UINT message, WPARAM wParam, LPARAM lParam) {
    INT_PTR result = run->proc(run->hwnd, message, wParam, lParam);
    {
        SIM_LOCK();
        Wm().delivered.push_back(sim::DialogMessageRecord{message, wParam, lParam, result});
    }
    if (result == FALSE)
        return DefaultDialogMessage(*run, message, lParam);
    // For these messages the procedure's own value is the result; for the
    // others it only says "handled" and the result is DWLP_MSGRESULT (0 here).
    bool direct = message == WM_INITDIALOG || (message >= WM_CTLCOLORMSGBOX && message <= WM_CTLCOLORSTATIC);
    return direct ? result : 0;
}

// A button click: the button notifies its dialog at once, unless it cannot
// take input.
void Click(const std::shared_ptr<DialogRun> &run, HWND button) {
    int id = 0;
    {
        SIM_LOCK();
        Window *w = LiveWindow(button);
        if (w == nullptr || !IsButton(*w) || (w->style & WS_DISABLED) || !(w->style & WS_VISIBLE))
            return;
        id = w->id;
    }
    Deliver(run, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
}

// Handles a message on the dialog's thread.
LRESULT Dispatch(const std::shared_ptr<DialogRun> &run, const Message &m) {
    if (m.target == run->hwnd)
        return Deliver(run, m.message, m.wParam, m.lParam);
    if (m.message == BM_CLICK) {
        Click(run, m.target);
        return 0;
    }
    SIM_LOCK();
    Window *w = LiveWindow(m.target);
    return w ? ControlMessage(*w, m.message, m.wParam, m.lParam) : 0;
}

void Answer(DialogRun &run, const Message &m, LRESULT result) {
    if (!m.reply)
        return;
    std::lock_guard<std::mutex> queueLock(run.lock);
    m.reply->done = true;
    m.reply->result = result;
    run.signal.notify_all();
}

void Perform(const std::shared_ptr<DialogRun> &run, const sim::UserAction &action) {
    switch (action.kind) {
    case sim::UserAction::kClick: {
        HWND control;
        {
            SIM_LOCK();
            control = FindControl(run->hwnd, action.controlId);
        }
        Click(run, control);
        break;
    }
    case sim::UserAction::kClose:
        Deliver(run, WM_CLOSE, 0, 0);
        break;
    case sim::UserAction::kStep:
        if (action.step)
            action.step(run->hwnd);
        break;
    }
}

std::optional<sim::UserAction> NextUserAction() {
    SIM_LOCK();
    if (Wm().script.empty())
        return std::nullopt;
    sim::UserAction action = Wm().script.front();
    Wm().script.pop_front();
    return action;
}

// The modal loop: messages first, then the scripted user, then waiting for
// another thread's message, at most the safety timeout at a time.
void RunMessageLoop(const std::shared_ptr<DialogRun> &run) {
    DWORD safetyMs;
    {
        SIM_LOCK();
        safetyMs = Wm().safetyMs;
    }
    for (;;) {
        std::optional<Message> message;
        {
            std::lock_guard<std::mutex> queueLock(run->lock);
            if (run->ended)
                return;
            if (!run->queue.empty()) {
                message = run->queue.front();
                run->queue.pop_front();
            }
        }
        if (message) {
            Answer(*run, *message, Dispatch(run, *message));
            continue;
        }
        if (auto action = NextUserAction()) {
            Perform(run, *action);
            continue;
        }
        bool timedOut = false;
        {
            std::unique_lock<std::mutex> queueLock(run->lock);
            if (!run->signal.wait_for(queueLock, std::chrono::milliseconds(safetyMs),
                                      [&] { return run->ended || !run->queue.empty(); })) {
                run->ended = true;
                run->result = -1;
                timedOut = true;
            }
        }
        if (timedOut) {
            SIM_LOCK();
            Wm().timedOut = true;
            return;
        }
    }
}

// Creates the template's controls with the dialog's font; false when a
// control's class is not registered, as CreateWindowEx then fails.
bool CreateControls(DialogRun &run) {
    SIM_LOCK();
    for (const ControlTemplate &c : kControls) {
        if (!WindowClassRegistered(c.className))
            return false;
        Window w;
        w.parent = run.hwnd;
        w.id = c.id;
        w.className = c.className;
        w.style = c.style;
        // The progress bar trades WS_BORDER for WS_EX_STATICEDGE when it is
        // created (read back as 0x40000000 under Wine).
        if (EqualNoCase(c.className, kProgressClass))
            w.style &= ~static_cast<LONG>(WS_BORDER);
        w.x = c.x;
        w.y = c.y;
        w.cx = c.cx;
        w.cy = c.cy;
        w.font = run.font;
        AddWindow(w);
    }
    return true;
}

// Ends a dialog's life: its windows are destroyed, its font released and any
// thread still waiting on a sent message is let go.
void Destroy(const std::shared_ptr<DialogRun> &run) {
    Deliver(run, WM_DESTROY, 0, 0);
    SIM_LOCK();
    for (auto &entry : Wm().windows)
        if (entry.second.parent == run->hwnd || reinterpret_cast<HWND>(entry.first) == run->hwnd)
            entry.second.destroyed = true;
    ReleaseFont(run->font);
    Wm().run = nullptr;
    std::lock_guard<std::mutex> queueLock(run->lock);
    run->ended = true;
    for (Message &m : run->queue)
        if (m.reply)
            m.reply->done = true;
    run->queue.clear();
    run->signal.notify_all();
}

// The running dialog when `hwnd` is it or one of its controls.
std::shared_ptr<DialogRun> RunOf(HWND hwnd) {
    Window *w = LiveWindow(hwnd);
    auto run = Wm().run;
    if (w == nullptr || !run)
        return nullptr;
    return (hwnd == run->hwnd || w->parent == run->hwnd) ? run : nullptr;
}

// SendMessageA without its injected failure, for the calls built on it.
LRESULT Send(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    std::shared_ptr<DialogRun> run;
    {
        SIM_LOCK();
        Window *w = LiveWindow(hwnd);
        if (w == nullptr)
            return Fail(ERROR_INVALID_WINDOW_HANDLE, 0);
        bool needsDialogThread = hwnd == (Wm().run ? Wm().run->hwnd : nullptr) || (message == BM_CLICK && IsButton(*w));
        if (!needsDialogThread)
            return ControlMessage(*w, message, wParam, lParam);
        run = RunOf(hwnd);
        if (!run)
            return 0;
    }
    Message m{hwnd, message, wParam, lParam, nullptr};
    if (std::this_thread::get_id() == run->thread)
        return Dispatch(run, m);
    // From another thread: queued for the dialog thread; the caller waits.
    DWORD safetyMs;
    {
        SIM_LOCK();
        safetyMs = Wm().safetyMs;
    }
    m.reply = std::make_shared<Reply>();
    std::unique_lock<std::mutex> queueLock(run->lock);
    if (run->ended)
        return 0;
    run->queue.push_back(m);
    run->signal.notify_all();
    run->signal.wait_for(queueLock, std::chrono::milliseconds(safetyMs), [&] { return m.reply->done; });
    return m.reply->result;
}

// The window an API call is about, once its injected failure is past;
// nullptr with the error code when the call fails.
Window *CallTarget(const char *api, const char *subject, HWND hwnd, DWORD *error) {
    if (TakeFault(api, subject, error))
        return nullptr;
    Window *w = LiveWindow(hwnd);
    if (w == nullptr)
        *error = ERROR_INVALID_WINDOW_HANDLE;
    return w;
}

// The same for a call about a dialog's control.
HWND ControlTarget(const char *api, const char *subject, HWND dialog, int id, DWORD *error) {
    if (CallTarget(api, subject, dialog, error) == nullptr)
        return nullptr;
    HWND control = FindControl(dialog, id);
    if (control == nullptr)
        *error = ERROR_CONTROL_ID_NOT_FOUND;
    return control;
}

// The same for GetWindowLongA and SetWindowLongA: the program reads and
// writes nothing but the style.
Window *StyleTarget(const char *api, HWND hwnd, int index, DWORD *error) {
    Window *w = CallTarget(api, nullptr, hwnd, error);
    if (w != nullptr && index != GWL_STYLE) {
        *error = ERROR_INVALID_INDEX;
        return nullptr;
    }
    return w;
}

// Sets or clears style bits; true when all of them were set before.
bool SetStyleBits(Window &w, LONG bits, bool on) {
    bool wereSet = (w.style & bits) == bits;
    if (on)
        w.style |= bits;
    else
        w.style &= ~bits;
    return wereSet;
}

} // namespace

void ResetDialogs() {
    SIM_LOCK();
    Wm() = WindowManager{};
}

} // namespace sim::detail

using namespace sim::detail;

INT_PTR DialogBoxParamA(HINSTANCE, LPCSTR templ, HWND owner, DLGPROC proc, LPARAM param) {
    auto run = std::make_shared<DialogRun>();
    {
        SIM_LOCK();
        DWORD code;
        if (TakeFault("DialogBoxParamA", nullptr, &code))
            return Fail(code, static_cast<INT_PTR>(-1));
        // The module holds one dialog template.
        if (!IS_INTRESOURCE(templ) || reinterpret_cast<uintptr_t>(templ) != IDD_MAIN)
            return Fail(ERROR_RESOURCE_NAME_NOT_FOUND, static_cast<INT_PTR>(-1));
        if (proc == nullptr || (owner != nullptr && LiveWindow(owner) == nullptr))
            return Fail(ERROR_INVALID_WINDOW_HANDLE, static_cast<INT_PTR>(-1));
        if (Wm().run)
            return Fail(ERROR_CALL_NOT_IMPLEMENTED, static_cast<INT_PTR>(-1)); // one dialog at a time
        Window dialog;
        dialog.className = kDialogClass;
        dialog.style = kDialogStyle & ~static_cast<LONG>(WS_VISIBLE); // shown after WM_INITDIALOG
        dialog.cx = kDialogCx;
        dialog.cy = kDialogCy;
        LOGFONTA shellFont = {};
        shellFont.lfHeight = -13; // 10 points at 96 dots per inch
        shellFont.lfCharSet = DEFAULT_CHARSET;
        std::string("MS Shell Dlg").copy(shellFont.lfFaceName, LF_FACESIZE - 1);
        run->font = NewFont(shellFont);
        dialog.font = run->font;
        run->hwnd = AddWindow(dialog);
        run->proc = proc;
        run->thread = std::this_thread::get_id();
        Wm().run = run;
        Wm().lastDialog = run->hwnd;
        Wm().delivered.clear();
        Wm().timedOut = false;
    }
    // DS_SETFONT: the procedure gets the font before the controls exist.
    Deliver(run, WM_SETFONT, reinterpret_cast<WPARAM>(run->font), FALSE);
    if (!CreateControls(*run)) {
        Destroy(run);
        return Fail(ERROR_CANNOT_FIND_WND_CLASS, static_cast<INT_PTR>(-1));
    }
    HWND firstTabStop;
    {
        SIM_LOCK();
        firstTabStop = FindControl(run->hwnd, IDC_REMOVE_PRODUCT);
    }
    Deliver(run, WM_INITDIALOG, reinterpret_cast<WPARAM>(firstTabStop), param);
    {
        SIM_LOCK();
        if (Window *dialog = LiveWindow(run->hwnd))
            dialog->style |= WS_VISIBLE;
    }
    RunMessageLoop(run);
    Destroy(run);
    INT_PTR result;
    {
        std::lock_guard<std::mutex> queueLock(run->lock);
        result = run->result;
    }
    SIM_LOCK();
    return Wm().timedOut ? Fail(ERROR_TIMEOUT, result) : result;
}

BOOL EndDialog(HWND dialog, INT_PTR result) {
    SIM_LOCK();
    DWORD code;
    if (TakeFault("EndDialog", nullptr, &code))
        return Fail(code, FALSE);
    auto run = Wm().run;
    if (!run || run->hwnd != dialog)
        return Fail(ERROR_INVALID_WINDOW_HANDLE, FALSE);
    std::lock_guard<std::mutex> queueLock(run->lock);
    run->ended = true;
    run->result = result;
    run->signal.notify_all();
    return TRUE;
}

HWND GetDlgItem(HWND dialog, int id) {
    SIM_LOCK();
    DWORD error;
    HWND control = ControlTarget("GetDlgItem", nullptr, dialog, id, &error);
    return control ? control : Fail(error, static_cast<HWND>(nullptr));
}

BOOL SetWindowTextA(HWND hwnd, LPCSTR text) {
    {
        SIM_LOCK();
        DWORD error;
        if (CallTarget("SetWindowTextA", text, hwnd, &error) == nullptr)
            return Fail(error, FALSE);
    }
    // As on Windows, the window gets WM_SETTEXT: a dialog procedure sees it.
    return Send(hwnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text)) ? TRUE : FALSE;
}

BOOL SetDlgItemTextA(HWND dialog, int id, LPCSTR text) {
    HWND control;
    {
        SIM_LOCK();
        DWORD error;
        control = ControlTarget("SetDlgItemTextA", text, dialog, id, &error);
        if (control == nullptr)
            return Fail(error, FALSE);
    }
    return Send(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text)) ? TRUE : FALSE;
}

LRESULT SendMessageA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    {
        SIM_LOCK();
        DWORD code;
        if (TakeFault("SendMessageA", nullptr, &code))
            return Fail(code, 0);
    }
    return Send(hwnd, message, wParam, lParam);
}

LRESULT SendDlgItemMessageA(HWND dialog, int id, UINT message, WPARAM wParam, LPARAM lParam) {
    HWND control;
    {
        SIM_LOCK();
        DWORD error;
        control = ControlTarget("SendDlgItemMessageA", nullptr, dialog, id, &error);
        if (control == nullptr)
            return Fail(error, 0);
    }
    return Send(control, message, wParam, lParam);
}

BOOL PostMessageA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    SIM_LOCK();
    DWORD code;
    if (TakeFault("PostMessageA", nullptr, &code))
        return Fail(code, FALSE);
    auto run = RunOf(hwnd);
    if (!run)
        return Fail(ERROR_INVALID_WINDOW_HANDLE, FALSE);
    std::lock_guard<std::mutex> queueLock(run->lock);
    run->queue.push_back(Message{hwnd, message, wParam, lParam, nullptr});
    run->signal.notify_all();
    return TRUE;
}

BOOL EnableWindow(HWND hwnd, BOOL enable) {
    SIM_LOCK();
    DWORD error;
    Window *w = CallTarget("EnableWindow", nullptr, hwnd, &error);
    if (w == nullptr)
        return Fail(error, FALSE);
    // The previous state, as Windows reports it: non-zero when it was disabled.
    return SetStyleBits(*w, WS_DISABLED, !enable) ? TRUE : FALSE;
}

LONG GetWindowLongA(HWND hwnd, int index) {
    SIM_LOCK();
    DWORD error;
    Window *w = StyleTarget("GetWindowLongA", hwnd, index, &error);
    return w ? w->style : Fail(error, 0);
}

LONG SetWindowLongA(HWND hwnd, int index, LONG value) {
    SIM_LOCK();
    DWORD error;
    Window *w = StyleTarget("SetWindowLongA", hwnd, index, &error);
    if (w == nullptr)
        return Fail(error, 0);
    LONG previous = w->style;
    w->style = value;
    return previous;
}

BOOL ShowWindow(HWND hwnd, int command) {
    SIM_LOCK();
    Wm().shows.push_back(sim::ShowWindowRecord{hwnd, command});
    Window *w = LiveWindow(hwnd);
    if (w == nullptr)
        return Fail(ERROR_INVALID_WINDOW_HANDLE, FALSE);
    // Whether it was visible before.
    return SetStyleBits(*w, WS_VISIBLE, command != SW_HIDE) ? TRUE : FALSE;
}

BOOL AnimateWindow(HWND hwnd, DWORD time, DWORD flags) {
    SIM_LOCK();
    DWORD error;
    Window *w = CallTarget("AnimateWindow", nullptr, hwnd, &error);
    if (w == nullptr)
        return Fail(error, FALSE);
    Wm().animations.push_back(sim::AnimateWindowRecord{hwnd, time, flags});
    bool show = (flags & AW_HIDE) == 0;
    // Windows refuses to show a visible window or hide a hidden one.
    if (show == ((w->style & WS_VISIBLE) != 0))
        return FALSE;
    SetStyleBits(*w, WS_VISIBLE, show);
    return TRUE;
}

namespace sim {

std::vector<ShowWindowRecord> ShowWindowCalls() {
    SIM_LOCK();
    return Wm().shows;
}

std::vector<AnimateWindowRecord> AnimateWindowCalls() {
    SIM_LOCK();
    return Wm().animations;
}

HWND DialogWindow() {
    SIM_LOCK();
    return Wm().lastDialog;
}

std::optional<WindowState> DialogControl(int id) {
    SIM_LOCK();
    HWND dialog = Wm().lastDialog;
    for (auto &entry : Wm().windows) {
        HWND hwnd = reinterpret_cast<HWND>(entry.first);
        const Window &w = entry.second;
        bool match = id == 0 ? hwnd == dialog : (w.parent == dialog && w.id == id);
        if (dialog != nullptr && match)
            return WindowState{hwnd, w.className, w.text,    w.style,         w.x,        w.y, w.cx,
                               w.cy, w.font,      w.marquee, w.marqueeStepMs, w.destroyed};
    }
    return std::nullopt;
}

std::vector<DialogMessageRecord> DialogMessages() {
    SIM_LOCK();
    return Wm().delivered;
}

void SetDialogSafetyTimeout(DWORD ms) {
    SIM_LOCK();
    Wm().safetyMs = ms;
}

bool DialogTimedOut() {
    SIM_LOCK();
    return Wm().timedOut;
}

UserAction Click(int controlId) { return UserAction{UserAction::kClick, controlId, nullptr}; }
UserAction CloseDialog() { return UserAction{UserAction::kClose, 0, nullptr}; }
UserAction Step(std::function<void(HWND dialog)> step) { return UserAction{UserAction::kStep, 0, std::move(step)}; }

void DeliverNow(const UserAction &action) {
    std::shared_ptr<DialogRun> run;
    Message queued{nullptr, 0, 0, 0, nullptr};
    {
        SIM_LOCK();
        run = Wm().run;
        if (!run)
            return;
        if (action.kind == UserAction::kClick)
            queued = Message{FindControl(run->hwnd, action.controlId), BM_CLICK, 0, 0, nullptr};
        else if (action.kind == UserAction::kClose)
            queued = Message{run->hwnd, WM_CLOSE, 0, 0, nullptr};
    }
    if (std::this_thread::get_id() == run->thread || action.kind == UserAction::kStep) {
        Perform(run, action);
        return;
    }
    std::lock_guard<std::mutex> queueLock(run->lock);
    run->queue.push_back(queued);
    run->signal.notify_all();
}

void ScriptUser(const std::vector<UserAction> &actions) {
    SIM_LOCK();
    Wm().script.assign(actions.begin(), actions.end());
}

size_t UnusedUserActions() {
    SIM_LOCK();
    return Wm().script.size();
}

} // namespace sim
