// End-to-end test driver: plays the user in front of the removal tool's
// dialog. It runs inside the same Wine prefix (same wineserver) as the
// program under test, finds the program's windows by caption and class,
// clicks buttons, answers message boxes, and writes one line per observation
// to an output file that the shell scenarios compare line by line.
//
// It only uses what a user sees: window captions, control texts, enabled
// and visible states, styles, and the pixels of a message box's icon.
// Clicks are posted (never sent) so the driver never blocks on the modal
// loop of a message box the click opens.

#include <windows.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

const char kUsage[] = "usage: driver.exe [--caption TEXT] [--timeout-ms N] [--out FILE] ACTION...\n"
                      "actions:\n"
                      "  wait-dialog            wait until the dialog with the caption is shown\n"
                      "  read                   record the dialog caption and all its controls\n"
                      "  click ID               click button ID of the dialog (ignored when disabled)\n"
                      "  answer ID              wait for the next message box, record it, click ID\n"
                      "  finish                 answer every box as an administrator declining the\n"
                      "                         restart would (No where offered, else OK) until the\n"
                      "                         dialog is gone\n"
                      "  wait-box               wait until a message box is up; leave it unanswered\n"
                      "  no-box MS              fail if a message box appears within MS ms\n"
                      "  wait-text ID TEXT      wait until control ID of the dialog shows TEXT\n"
                      "  close                  post WM_CLOSE to the dialog\n"
                      "  wait-exit              wait until the dialog window is gone\n"
                      "  pause MS               wait MS ms (at most the timeout)\n"
                      "  dump                   record every dialog-class window and its children\n";

const int kPollMs = 20;
const int kMsgBoxTextId = 0xFFFF; // the text static of a system message box

struct Options {
    std::string caption = "ZeltraEnterprise Security Removal Tool";
    DWORD timeoutMs = 20000;
    FILE *out = stdout;
};

Options g_opt;
HWND g_dialog = NULL; // last dialog found, to tell owners apart

void Emit(const char *fmt, ...) {
    char line[4096];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    fprintf(g_opt.out, "%s\n", line);
    fflush(g_opt.out);
    if (g_opt.out != stdout) {
        printf("%s\n", line);
        fflush(stdout);
    }
}

// Quotes a text so that one record stays on one line: backslash, double
// quote, CR, LF and tab are escaped C-style, other control bytes as \xHH.
std::string Quote(const std::string &text) {
    std::string q = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '\\':
            q += "\\\\";
            break;
        case '"':
            q += "\\\"";
            break;
        case '\r':
            q += "\\r";
            break;
        case '\n':
            q += "\\n";
            break;
        case '\t':
            q += "\\t";
            break;
        default:
            if (c < 0x20 || c == 0x7F) {
                char hex[8];
                snprintf(hex, sizeof hex, "\\x%02X", c);
                q += hex;
            } else {
                q += static_cast<char>(c);
            }
        }
    }
    return q + "\"";
}

std::string WindowText(HWND hwnd) {
    // GetWindowTextA reads the stored caption of another process's window
    // without sending it a message, so a busy target cannot block us.
    char buf[2048] = "";
    GetWindowTextA(hwnd, buf, sizeof buf);
    return buf;
}

std::string ClassOf(HWND hwnd) {
    char buf[256] = "";
    GetClassNameA(hwnd, buf, sizeof buf);
    return buf;
}

bool IsDialogClass(HWND hwnd) { return ClassOf(hwnd) == "#32770"; }

bool IsMessageBox(HWND hwnd) {
    if (!IsDialogClass(hwnd) || !IsWindowVisible(hwnd))
        return false;
    HWND text = GetDlgItem(hwnd, kMsgBoxTextId);
    return text != NULL && lstrcmpiA(ClassOf(text).c_str(), "Static") == 0;
}

struct Search {
    const std::string *caption;
    HWND skip;
    HWND found;
};

BOOL CALLBACK FindDialogProc(HWND hwnd, LPARAM lp) {
    Search *s = reinterpret_cast<Search *>(lp);
    if (IsDialogClass(hwnd) && IsWindowVisible(hwnd) && !IsMessageBox(hwnd) && WindowText(hwnd) == *s->caption) {
        s->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK FindBoxProc(HWND hwnd, LPARAM lp) {
    Search *s = reinterpret_cast<Search *>(lp);
    if (hwnd != s->skip && IsMessageBox(hwnd)) {
        s->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

// The program's dialog: a visible dialog-class window with the caption that
// is not a message box (start-up refusals use the same caption).
HWND FindDialog() {
    Search s = {&g_opt.caption, NULL, NULL};
    EnumWindows(FindDialogProc, reinterpret_cast<LPARAM>(&s));
    if (s.found)
        g_dialog = s.found;
    return s.found;
}

HWND FindMessageBox() {
    Search s = {&g_opt.caption, NULL, NULL};
    EnumWindows(FindBoxProc, reinterpret_cast<LPARAM>(&s));
    return s.found;
}

bool Fail(const char *action, const char *reason) {
    Emit("ERROR %s: %s", action, reason);
    return false;
}

// Polls `probe` every kPollMs until it returns true or `ms` elapse.
template <typename Probe> bool PollFor(DWORD ms, Probe probe) {
    DWORD start = GetTickCount();
    for (;;) {
        if (probe())
            return true;
        if (GetTickCount() - start >= ms)
            return false;
        Sleep(kPollMs);
    }
}

// ---- reading the dialog -------------------------------------------------

struct Child {
    int id;
    HWND hwnd;
};

BOOL CALLBACK CollectChildProc(HWND hwnd, LPARAM lp) {
    std::vector<Child> *kids = reinterpret_cast<std::vector<Child> *>(lp);
    kids->push_back({static_cast<int>(GetWindowLongA(hwnd, GWL_ID)), hwnd});
    return TRUE;
}

std::vector<Child> DirectChildren(HWND parent) {
    std::vector<Child> kids;
    EnumChildWindows(parent, CollectChildProc, reinterpret_cast<LPARAM>(&kids));
    std::vector<Child> direct;
    for (const Child &c : kids)
        if (GetParent(c.hwnd) == parent)
            direct.push_back(c);
    std::stable_sort(direct.begin(), direct.end(), [](const Child &a, const Child &b) { return a.id < b.id; });
    return direct;
}

void EmitControl(const Child &c) {
    std::string cls = ClassOf(c.hwnd);
    LONG style = GetWindowLongA(c.hwnd, GWL_STYLE);
    int visible = (style & WS_VISIBLE) ? 1 : 0;
    int enabled = IsWindowEnabled(c.hwnd) ? 1 : 0;
    if (lstrcmpiA(cls.c_str(), "msctls_progress32") == 0) {
        Emit("PROGRESS %d visible=%d marquee=%d smooth=%d style=0x%08lX", c.id, visible, (style & 0x08) ? 1 : 0,
             (style & 0x01) ? 1 : 0, static_cast<unsigned long>(style));
        return;
    }
    Emit("CONTROL %d class=%s visible=%d enabled=%d text=%s", c.id, cls.c_str(), visible, enabled,
         Quote(WindowText(c.hwnd)).c_str());
}

bool ActRead() {
    HWND dlg = FindDialog();
    if (!dlg)
        return Fail("read", "dialog not found");
    Emit("READ caption=%s", Quote(WindowText(dlg)).c_str());
    for (const Child &c : DirectChildren(dlg))
        EmitControl(c);
    return true;
}

bool ActWaitDialog() {
    HWND dlg = NULL;
    if (!PollFor(g_opt.timeoutMs, [&] { return (dlg = FindDialog()) != NULL; }))
        return Fail("wait-dialog", "timed out");
    Emit("DIALOG caption=%s", Quote(WindowText(dlg)).c_str());
    return true;
}

bool ActClick(int id) {
    HWND dlg = FindDialog();
    if (!dlg)
        return Fail("click", "dialog not found");
    HWND button = GetDlgItem(dlg, id);
    if (!button)
        return Fail("click", "no such control");
    if (!IsWindowEnabled(button) || !IsWindowVisible(button)) {
        // A user's click on a disabled or hidden button does nothing.
        Emit("CLICK %d ignored=%s", id, IsWindowVisible(button) ? "disabled" : "hidden");
        return true;
    }
    PostMessageA(button, BM_CLICK, 0, 0);
    Emit("CLICK %d", id);
    return true;
}

bool ActWaitText(int id, const std::string &want) {
    std::string last;
    bool ok = PollFor(g_opt.timeoutMs, [&] {
        HWND dlg = FindDialog();
        HWND ctl = dlg ? GetDlgItem(dlg, id) : NULL;
        if (!ctl)
            return false;
        last = WindowText(ctl);
        return last == want;
    });
    if (!ok) {
        std::string why = "timed out, control shows " + Quote(last);
        return Fail("wait-text", why.c_str());
    }
    Emit("TEXT %d text=%s", id, Quote(want).c_str());
    return true;
}

bool ActClose() {
    HWND dlg = FindDialog();
    if (!dlg)
        return Fail("close", "dialog not found");
    PostMessageA(dlg, WM_CLOSE, 0, 0);
    Emit("CLOSE");
    return true;
}

bool ActWaitExit() {
    // The window handle of a dialog found earlier may outlive its caption
    // test, so wait on the handle when we have one.
    bool ok = PollFor(g_opt.timeoutMs, [&] {
        if (g_dialog && IsWindow(g_dialog))
            return false;
        return FindDialog() == NULL;
    });
    if (!ok)
        return Fail("wait-exit", "dialog still shown");
    Emit("EXIT");
    return true;
}

// ---- message boxes ------------------------------------------------------

struct ButtonName {
    int id;
    const char *name;
};
const ButtonName kButtons[] = {{IDOK, "OK"},       {IDCANCEL, "CANCEL"}, {IDABORT, "ABORT"},
                               {IDRETRY, "RETRY"}, {IDIGNORE, "IGNORE"}, {IDYES, "YES"},
                               {IDNO, "NO"},       {10, "TRYAGAIN"},     {11, "CONTINUE"}};

const char *ButtonLabel(int id) {
    for (const ButtonName &b : kButtons)
        if (b.id == id)
            return b.name;
    return NULL;
}

std::string BoxButtons(HWND box) {
    std::string names;
    for (const ButtonName &b : kButtons) {
        HWND h = GetDlgItem(box, b.id);
        if (h && IsWindowVisible(h) && lstrcmpiA(ClassOf(h).c_str(), "Button") == 0) {
            if (!names.empty())
                names += ",";
            names += b.name;
        }
    }
    return names.empty() ? "none" : names;
}

HWND FindIconControl(HWND box) {
    for (const Child &c : DirectChildren(box)) {
        LONG style = GetWindowLongA(c.hwnd, GWL_STYLE);
        if (lstrcmpiA(ClassOf(c.hwnd).c_str(), "Static") == 0 && (style & SS_TYPEMASK) == SS_ICON &&
            (style & WS_VISIBLE))
            return c.hwnd;
    }
    return NULL;
}

// 32-bit top-down DIB for pixel comparisons.
struct Canvas {
    HDC dc = NULL;
    HBITMAP bmp = NULL;
    HGDIOBJ old = NULL;
    DWORD *px = NULL;
    int w = 0, h = 0;

    bool Make(int width, int height) {
        w = width;
        h = height;
        BITMAPINFO bi = {};
        bi.bmiHeader.biSize = sizeof bi.bmiHeader;
        bi.bmiHeader.biWidth = w;
        bi.bmiHeader.biHeight = -h;
        bi.bmiHeader.biPlanes = 1;
        bi.bmiHeader.biBitCount = 32;
        bi.bmiHeader.biCompression = BI_RGB;
        void *bits = NULL;
        dc = CreateCompatibleDC(NULL);
        bmp = CreateDIBSection(dc, &bi, DIB_RGB_COLORS, &bits, NULL, 0);
        if (!dc || !bmp)
            return false;
        old = SelectObject(dc, bmp);
        px = static_cast<DWORD *>(bits);
        return true;
    }
    ~Canvas() {
        if (old)
            SelectObject(dc, old);
        if (bmp)
            DeleteObject(bmp);
        if (dc)
            DeleteDC(dc);
    }
};

// Which system icon a message box shows. Icon handles of another process
// cannot be drawn here, so the icon's pixels are read from the screen and
// compared with the system icons drawn locally on the same background.
std::string IdentifyIcon(HWND iconCtl) {
    RECT r;
    if (!GetWindowRect(iconCtl, &r))
        return "unknown";
    int w = r.right - r.left, h = r.bottom - r.top;
    if (w <= 0 || h <= 0 || w > 256 || h > 256)
        return "unknown";

    Canvas shot;
    if (!shot.Make(w, h))
        return "unknown";
    HDC screen = GetDC(NULL);
    BitBlt(shot.dc, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
    COLORREF back = GetPixel(screen, r.left - 2, r.top);
    ReleaseDC(NULL, screen);
    GdiFlush();

    struct Known {
        LPCSTR res;
        const char *name;
    };
    const Known known[] = {
        {IDI_HAND, "error"}, {IDI_QUESTION, "question"}, {IDI_EXCLAMATION, "warning"}, {IDI_ASTERISK, "information"}};
    std::string best = "unknown";
    int bestScore = 0;
    for (const Known &k : known) {
        HICON icon = LoadIconA(NULL, k.res);
        Canvas ref;
        if (!icon || !ref.Make(w, h))
            continue;
        HBRUSH brush = CreateSolidBrush(back);
        RECT all = {0, 0, w, h};
        FillRect(ref.dc, &all, brush);
        DeleteObject(brush);
        DrawIconEx(ref.dc, 0, 0, icon, 0, 0, 0, NULL, DI_NORMAL);
        GdiFlush();
        int same = 0;
        for (int i = 0; i < w * h; ++i)
            if ((shot.px[i] & 0xFFFFFF) == (ref.px[i] & 0xFFFFFF))
                ++same;
        int score = same * 100 / (w * h);
        if (score > bestScore) {
            bestScore = score;
            best = k.name;
        }
    }
    return bestScore >= 90 ? best : "unknown";
}

std::string BoxIcon(HWND box) {
    HWND iconCtl = FindIconControl(box);
    if (!iconCtl)
        return "none"; // Windows leaves the icon control out
    // Wine keeps an empty icon control in a box without icon.
    DWORD_PTR handle = 0;
    if (SendMessageTimeoutA(iconCtl, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, 1000, &handle) && handle == 0)
        return "none";
    // The icon is read from the screen: a window clicked since the box came
    // up (the dialog, which a box without owner does not keep below it)
    // may cover it, so the box is brought to the top, and repainted, until
    // its icon shows. It may not be painted yet when it is first seen.
    std::string name = "unknown";
    PollFor(3000, [&] {
        if ((name = IdentifyIcon(iconCtl)) != "unknown")
            return true;
        SetWindowPos(box, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        RedrawWindow(box, NULL, NULL, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
        return false;
    });
    return name;
}

std::string OwnerOf(HWND box) {
    HWND owner = GetWindow(box, GW_OWNER);
    if (!owner)
        return "none";
    if (owner == g_dialog || owner == FindDialog())
        return "dialog";
    return "other";
}

bool ActAnswer(int id) {
    HWND box = NULL;
    if (!PollFor(g_opt.timeoutMs, [&] { return (box = FindMessageBox()) != NULL; }))
        return Fail("answer", "no message box appeared");
    std::string buttons = BoxButtons(box);
    std::string icon = BoxIcon(box);
    std::string owner = OwnerOf(box);
    std::string caption = WindowText(box);
    std::string text = WindowText(GetDlgItem(box, kMsgBoxTextId));
    HWND button = GetDlgItem(box, id);
    const char *label = ButtonLabel(id);
    bool clickable = button && label && IsWindowVisible(button);
    Emit("MSGBOX owner=%s buttons=%s icon=%s answer=%s caption=%s text=%s", owner.c_str(), buttons.c_str(),
         icon.c_str(), clickable ? label : "none", Quote(caption).c_str(), Quote(text).c_str());
    if (!clickable)
        return Fail("answer", "the box has no such button");
    PostMessageA(button, BM_CLICK, 0, 0);
    if (!PollFor(g_opt.timeoutMs, [&] { return !IsWindow(box); }))
        return Fail("answer", "the box did not close");
    return true;
}

// Waits until a message box is up and leaves it there, so that the next
// actions act on the dialog while the box is shown.
bool ActWaitBox() {
    if (!PollFor(g_opt.timeoutMs, [] { return FindMessageBox() != NULL; }))
        return Fail("wait-box", "no message box appeared");
    Emit("MSGBOX-UP");
    return true;
}

// Answers the outcome boxes of a run, whatever their number, until the
// program's dialog is gone. At most a handful of boxes: a run shows four at
// the most (summary, failure, restart offer or "No Traces Found").
bool ActFinish() {
    for (int boxes = 0; boxes < 8; ++boxes) {
        HWND box = NULL;
        if (!PollFor(g_opt.timeoutMs, [&] { return (box = FindMessageBox()) != NULL || !FindDialog(); }))
            return Fail("finish", "neither a box nor the end of the dialog");
        if (!box) {
            Emit("EXIT");
            return true;
        }
        HWND no = GetDlgItem(box, IDNO);
        if (!ActAnswer(no && IsWindowVisible(no) ? IDNO : IDOK))
            return false;
    }
    return Fail("finish", "more boxes than a run shows");
}

bool ActNoBox(DWORD ms) {
    HWND box = NULL;
    if (PollFor(std::min(ms, g_opt.timeoutMs), [&] { return (box = FindMessageBox()) != NULL; })) {
        Emit("MSGBOX owner=%s buttons=%s icon=%s answer=none caption=%s text=%s", OwnerOf(box).c_str(),
             BoxButtons(box).c_str(), BoxIcon(box).c_str(), Quote(WindowText(box)).c_str(),
             Quote(WindowText(GetDlgItem(box, kMsgBoxTextId))).c_str());
        return Fail("no-box", "a message box appeared");
    }
    Emit("NO-MSGBOX %lu", static_cast<unsigned long>(ms));
    return true;
}

bool ActPause(DWORD ms) {
    Sleep(std::min(ms, g_opt.timeoutMs));
    return true;
}

BOOL CALLBACK DumpProc(HWND hwnd, LPARAM) {
    if (!IsDialogClass(hwnd))
        return TRUE;
    HWND owner = GetWindow(hwnd, GW_OWNER);
    Emit("WINDOW hwnd=%p owner=%p visible=%d caption=%s", static_cast<void *>(hwnd), static_cast<void *>(owner),
         IsWindowVisible(hwnd) ? 1 : 0, Quote(WindowText(hwnd)).c_str());
    for (const Child &c : DirectChildren(hwnd)) {
        LONG style = GetWindowLongA(c.hwnd, GWL_STYLE);
        RECT r;
        GetWindowRect(c.hwnd, &r);
        Emit("  CHILD %d class=%s style=0x%08lX rect=%ld,%ld,%ld,%ld text=%s", c.id, ClassOf(c.hwnd).c_str(),
             static_cast<unsigned long>(style), r.left, r.top, r.right, r.bottom, Quote(WindowText(c.hwnd)).c_str());
    }
    return TRUE;
}

bool ActDump() {
    EnumWindows(DumpProc, 0);
    return true;
}

// ---- command line -------------------------------------------------------

bool ParseNumber(const char *s, long *value) {
    char *end = NULL;
    long v = strtol(s, &end, 0);
    if (!s[0] || *end)
        return false;
    *value = v;
    return true;
}

int UsageError(const char *what) {
    fprintf(stderr, "driver: %s\n%s", what, kUsage);
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    int i = 1;
    const char *outPath = NULL;
    for (; i < argc && strncmp(argv[i], "--", 2) == 0; ++i) {
        long v = 0;
        if (strcmp(argv[i], "--caption") == 0 && i + 1 < argc) {
            g_opt.caption = argv[++i];
        } else if (strcmp(argv[i], "--timeout-ms") == 0 && i + 1 < argc && ParseNumber(argv[i + 1], &v) && v > 0) {
            g_opt.timeoutMs = static_cast<DWORD>(v);
            ++i;
        } else if (strcmp(argv[i], "--out") == 0 && i + 1 < argc) {
            outPath = argv[++i];
        } else {
            return UsageError("bad option");
        }
    }
    if (i >= argc)
        return UsageError("no action");

    // Validate the whole action list before touching any window, so a typo
    // in a scenario cannot leave the program half-driven.
    struct Step {
        std::string name;
        long num;
        std::string text;
    };
    std::vector<Step> steps;
    while (i < argc) {
        Step s{argv[i++], 0, ""};
        const std::string &n = s.name;
        if (n == "click" || n == "answer" || n == "no-box" || n == "pause" || n == "wait-text") {
            if (i >= argc || !ParseNumber(argv[i], &s.num) || s.num < 0)
                return UsageError(("action needs a number: " + n).c_str());
            ++i;
            if (n == "wait-text") {
                if (i >= argc)
                    return UsageError("wait-text needs a text");
                s.text = argv[i++];
            }
        } else if (n != "wait-dialog" && n != "read" && n != "close" && n != "wait-exit" && n != "dump" &&
                   n != "finish" && n != "wait-box") {
            return UsageError(("unknown action: " + n).c_str());
        }
        steps.push_back(s);
    }

    if (outPath) {
        g_opt.out = fopen(outPath, "ab");
        if (!g_opt.out) {
            fprintf(stderr, "driver: cannot open %s\n", outPath);
            return 2;
        }
    }

    bool ok = true;
    for (const Step &s : steps) {
        if (s.name == "wait-dialog")
            ok = ActWaitDialog();
        else if (s.name == "read")
            ok = ActRead();
        else if (s.name == "click")
            ok = ActClick(static_cast<int>(s.num));
        else if (s.name == "answer")
            ok = ActAnswer(static_cast<int>(s.num));
        else if (s.name == "no-box")
            ok = ActNoBox(static_cast<DWORD>(s.num));
        else if (s.name == "pause")
            ok = ActPause(static_cast<DWORD>(s.num));
        else if (s.name == "wait-text")
            ok = ActWaitText(static_cast<int>(s.num), s.text);
        else if (s.name == "close")
            ok = ActClose();
        else if (s.name == "wait-exit")
            ok = ActWaitExit();
        else if (s.name == "dump")
            ok = ActDump();
        else if (s.name == "finish")
            ok = ActFinish();
        else if (s.name == "wait-box")
            ok = ActWaitBox();
        if (!ok)
            break;
    }
    if (g_opt.out != stdout)
        fclose(g_opt.out);
    return ok ? 0 : 1;
}
