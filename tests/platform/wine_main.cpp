// Windows side of the conformance suite (run under Wine). The program is
// also its own helper: started with "--exit N" or "--sleep MS" it is the
// child that the process tests start, and with "--service MODE" the service
// program that the service tests stop. Without arguments it installs the
// suite's services, runs the tests and removes the services again.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "conformance.h"
#include "tests/e2e/tools/service_exit.h"

namespace {

using conformance::kIdleService;
using conformance::kLingeringService;
using conformance::kPromptService;
using conformance::kRefusingService;

// Set by the suite when it ends: every service of the suite then reports
// itself stopped and its process exits, so nothing outlives the run.
const char kReleaseEvent[] = "Global\\zrt_conformance_release";
// How long the suite waits for a service to start or to leave the manager.
const DWORD kServiceWaitMs = 10000;

// ---- the service program ----

enum class ServiceMode { Prompt, Refuse, Linger };

ServiceMode g_mode = ServiceMode::Prompt;
SERVICE_STATUS_HANDLE g_statusHandle = NULL;
HANDLE g_stopped = NULL; // set once a prompt stop is done
char g_serviceName[257];

void Report(DWORD state, DWORD accepted) {
    SERVICE_STATUS status;
    std::memset(&status, 0, sizeof status);
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = accepted;
    status.dwWaitHint = state == SERVICE_STOP_PENDING ? 1000 : 0;
    SetServiceStatus(g_statusHandle, &status);
}

DWORD WINAPI ServiceControl(DWORD control, DWORD, LPVOID, LPVOID) {
    if (control != SERVICE_CONTROL_STOP)
        return NO_ERROR;
    if (g_mode == ServiceMode::Linger) {
        Report(SERVICE_STOP_PENDING, 0); // and never further, until the suite ends
    } else {
        Report(SERVICE_STOPPED, 0);
        SetEvent(g_stopped);
    }
    return NO_ERROR;
}

void WINAPI ServiceMain(DWORD argc, LPSTR *argv) {
    lstrcpynA(g_serviceName, argc > 0 ? argv[0] : "", sizeof g_serviceName);
    g_statusHandle = RegisterServiceCtrlHandlerExA(g_serviceName, ServiceControl, NULL);
    if (g_statusHandle == NULL)
        return;
    Report(SERVICE_RUNNING, g_mode == ServiceMode::Refuse ? 0 : SERVICE_ACCEPT_STOP);
    HANDLE release = CreateEventA(NULL, TRUE, FALSE, kReleaseEvent);
    HANDLE ends[2] = {g_stopped, release};
    WaitForMultipleObjects(2, ends, FALSE, INFINITE);
    CloseHandle(release);
    Report(SERVICE_STOPPED, 0);
}

int RunService(const char *mode) {
    if (std::strcmp(mode, "refuse") == 0)
        g_mode = ServiceMode::Refuse;
    else if (std::strcmp(mode, "linger") == 0)
        g_mode = ServiceMode::Linger;
    g_stopped = CreateEventA(NULL, TRUE, FALSE, NULL);
    char name[] = "";
    SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {NULL, NULL}};
    if (!StartServiceCtrlDispatcherA(table))
        return static_cast<int>(GetLastError());
    // A stop reported inside the handler may still have its answer to write.
    if (g_mode == ServiceMode::Prompt)
        StayUntilMarkedForDeletion(g_serviceName);
    return 0;
}

// ---- the suite's services ----

struct SuiteService {
    const char *name;
    const char *mode; // null: installed, never started
};
const SuiteService kServices[] = {
    {kIdleService, nullptr}, {kPromptService, "prompt"}, {kRefusingService, "refuse"}, {kLingeringService, "linger"}};

// Waits until the service has left the manager (OpenServiceA says 1060).
bool WaitUntilGone(SC_HANDLE manager, const char *name) {
    for (DWORD waited = 0; waited < kServiceWaitMs; waited += 20) {
        SC_HANDLE service = OpenServiceA(manager, name, SERVICE_QUERY_STATUS);
        if (service == NULL && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST)
            return true;
        if (service != NULL)
            CloseServiceHandle(service);
        Sleep(20);
    }
    return false;
}

// Marks a service for deletion and waits until it has left the manager.
bool Remove(SC_HANDLE manager, const char *name) {
    SC_HANDLE service = OpenServiceA(manager, name, SERVICE_STOP | DELETE);
    if (service == NULL)
        return GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
    SERVICE_STATUS status;
    ControlService(service, SERVICE_CONTROL_STOP, &status);
    DeleteService(service);
    CloseServiceHandle(service);
    return WaitUntilGone(manager, name);
}

bool WaitUntilRunning(SC_HANDLE service) {
    for (DWORD waited = 0; waited < kServiceWaitMs; waited += 20) {
        SERVICE_STATUS status;
        if (!QueryServiceStatus(service, &status))
            return false;
        if (status.dwCurrentState == SERVICE_RUNNING)
            return true;
        Sleep(20);
    }
    return false;
}

bool Install(SC_HANDLE manager, const SuiteService &s) {
    std::string command = conformance::ProgramCommand(std::string("--service ") + (s.mode ? s.mode : "prompt"));
    SC_HANDLE service =
        CreateServiceA(manager, s.name, s.name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                       SERVICE_ERROR_NORMAL, command.c_str(), NULL, NULL, NULL, NULL, NULL);
    if (service == NULL)
        return false;
    bool ok = s.mode == nullptr || (StartServiceA(service, 0, NULL) && WaitUntilRunning(service));
    CloseServiceHandle(service);
    return ok;
}

class SuiteServices : public ::testing::Environment {
  public:
    void SetUp() override {
        release_ = CreateEventA(NULL, TRUE, FALSE, kReleaseEvent);
        manager_ = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
        ASSERT_NE(manager_, nullptr) << GetLastError();
        // Services left by an interrupted run in this Wine session end first.
        SetEvent(release_);
        for (const SuiteService &s : kServices)
            ASSERT_TRUE(Remove(manager_, s.name)) << "a service left by an earlier run: " << s.name;
        ResetEvent(release_);
        for (const SuiteService &s : kServices)
            ASSERT_TRUE(Install(manager_, s)) << s.name << ": " << GetLastError();
    }
    void TearDown() override {
        SetEvent(release_);
        for (const SuiteService &s : kServices)
            EXPECT_TRUE(Remove(manager_, s.name)) << s.name << " is still installed";
        CloseServiceHandle(manager_);
        CloseHandle(release_);
    }

  private:
    HANDLE release_ = NULL;
    SC_HANDLE manager_ = NULL;
};

// GoogleTest's own printer also hands every failure and skip message to
// OutputDebugStringA, which raises an exception to reach a debugger. Under
// Debian 12's qemu-i386 (7.2) that exception took the 32-bit Wine process
// down (another thread died on an "unexpected trap"), so the first message
// of a run ended it. A suite that reports by exception is fragile wherever
// exceptions are: this printer forwards every event to GoogleTest's own and
// prints the messages itself, to standard output only, as GoogleTest does.
class StdoutOnlyPrinter : public ::testing::EmptyTestEventListener {
  public:
    explicit StdoutOnlyPrinter(::testing::TestEventListener *printer) : printer_(printer) {}
    ~StdoutOnlyPrinter() override { delete printer_; }

    void OnTestProgramStart(const ::testing::UnitTest &u) override { printer_->OnTestProgramStart(u); }
    void OnTestIterationStart(const ::testing::UnitTest &u, int i) override { printer_->OnTestIterationStart(u, i); }
    void OnEnvironmentsSetUpStart(const ::testing::UnitTest &u) override { printer_->OnEnvironmentsSetUpStart(u); }
    void OnEnvironmentsSetUpEnd(const ::testing::UnitTest &u) override { printer_->OnEnvironmentsSetUpEnd(u); }
    void OnTestSuiteStart(const ::testing::TestSuite &s) override { printer_->OnTestSuiteStart(s); }
    void OnTestStart(const ::testing::TestInfo &t) override { printer_->OnTestStart(t); }
    void OnTestPartResult(const ::testing::TestPartResult &r) override {
        if (r.type() == ::testing::TestPartResult::kSuccess)
            return;
        const char *kind = r.skipped() ? "Skipped" : "Failure";
        if (r.file_name() != nullptr)
            std::printf("%s:%d: %s\n%s\n", r.file_name(), r.line_number(), kind, r.message());
        else
            std::printf("unknown file: %s\n%s\n", kind, r.message());
        std::fflush(stdout);
    }
    void OnTestEnd(const ::testing::TestInfo &t) override { printer_->OnTestEnd(t); }
    void OnTestSuiteEnd(const ::testing::TestSuite &s) override { printer_->OnTestSuiteEnd(s); }
    void OnEnvironmentsTearDownStart(const ::testing::UnitTest &u) override {
        printer_->OnEnvironmentsTearDownStart(u);
    }
    void OnEnvironmentsTearDownEnd(const ::testing::UnitTest &u) override { printer_->OnEnvironmentsTearDownEnd(u); }
    void OnTestIterationEnd(const ::testing::UnitTest &u, int i) override { printer_->OnTestIterationEnd(u, i); }
    void OnTestProgramEnd(const ::testing::UnitTest &u) override { printer_->OnTestProgramEnd(u); }

  private:
    ::testing::TestEventListener *printer_;
};

} // namespace

namespace conformance {

std::string ProgramPath() {
    char path[MAX_PATH];
    std::memset(path, 0, sizeof path);
    GetModuleFileNameA(NULL, path, MAX_PATH);
    return path;
}

DWORD ServiceStartType(const char *name) {
    DWORD start = kSentinel;
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceA(manager, name, SERVICE_QUERY_CONFIG) : NULL;
    union {
        QUERY_SERVICE_CONFIGA config;
        char bytes[8192];
    } buffer;
    DWORD needed = 0;
    if (service && QueryServiceConfigA(service, &buffer.config, sizeof buffer, &needed))
        start = buffer.config.dwStartType;
    if (service)
        CloseServiceHandle(service);
    if (manager)
        CloseServiceHandle(manager);
    return start;
}

} // namespace conformance

int main(int argc, char **argv) {
    if (argc == 3 && std::strcmp(argv[1], "--exit") == 0)
        return std::atoi(argv[2]);
    if (argc == 3 && std::strcmp(argv[1], "--sleep") == 0) {
        Sleep(static_cast<DWORD>(std::atoi(argv[2])));
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "--service") == 0)
        return RunService(argv[2]);
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::TestEventListeners &listeners = ::testing::UnitTest::GetInstance()->listeners();
    listeners.Append(new StdoutOnlyPrinter(listeners.Release(listeners.default_result_printer())));
    ::testing::AddGlobalTestEnvironment(new SuiteServices);
    return RUN_ALL_TESTS();
}
