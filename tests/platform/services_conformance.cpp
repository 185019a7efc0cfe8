// Service manager behaviour that stopping, disabling and deleting services
// relies on, shown with the suite's own services (see conformance.h).
#include <gtest/gtest.h>

#include <cstring>

#include "conformance.h"

namespace {

using namespace conformance;

class Services : public ::testing::Test {
  protected:
    void SetUp() override {
        SetLastError(kSentinel);
        manager_ = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
        ASSERT_NE(manager_, nullptr) << GetLastError();
    }
    void TearDown() override {
        if (manager_ != NULL) // a null handle makes Wine raise an exception
            CloseServiceHandle(manager_);
    }

    SC_HANDLE Open(const char *name, DWORD access = SERVICE_STOP | SERVICE_QUERY_STATUS) {
        return OpenServiceA(manager_, name, access);
    }
    // ControlService(SERVICE_CONTROL_STOP): its result, the last error (0 on
    // success) and the status record, filled with the sentinel before.
    static BOOL Stop(SC_HANDLE service, DWORD *error, SERVICE_STATUS *status) {
        std::memset(status, 0xee, sizeof *status);
        SetLastError(ERROR_SUCCESS);
        BOOL ok = ControlService(service, SERVICE_CONTROL_STOP, status);
        *error = GetLastError();
        return ok;
    }
    // Polls until the service reports `state`, for at most five seconds.
    static DWORD WaitFor(SC_HANDLE service, DWORD state) {
        SERVICE_STATUS status;
        status.dwCurrentState = kSentinel;
        for (int i = 0; i < 250 && QueryServiceStatus(service, &status) && status.dwCurrentState != state; ++i)
            Sleep(20);
        return status.dwCurrentState;
    }
    SC_HANDLE manager_ = NULL;
};

// The trace log's numbers after the service step depend on it: an open that
// connects to the manager clears the last error; an open while the process
// is connected, and opening a service, leave it as it was.
TEST_F(Services, AnOpenWhileConnectedLeavesTheLastErrorAlone) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    SC_HANDLE second = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << "already connected";
    SC_HANDLE service = Open(kPromptService);
    ASSERT_NE(service, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    CloseServiceHandle(service);
    CloseServiceHandle(second);
    // Connecting clears it: not shown here, since the suite itself stays
    // connected; the trace logs of the end-to-end runs show it, and the
    // differential tests hold the simulation to them.
}

TEST_F(Services, AStopToAStoppedServiceSays1062) {
    SC_HANDLE service = Open(kIdleService);
    ASSERT_NE(service, nullptr) << GetLastError();
    SERVICE_STATUS status;
    DWORD error = kSentinel;
    EXPECT_FALSE(Stop(service, &error, &status));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
    EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED) << "the status is filled in";
    CloseServiceHandle(service);
}

TEST_F(Services, AnAcceptedStopEndsInStoppedAndASecondSays1062) {
    SC_HANDLE service = Open(kPromptService);
    ASSERT_NE(service, nullptr) << GetLastError();
    SERVICE_STATUS status;
    DWORD error = kSentinel;
    EXPECT_TRUE(Stop(service, &error, &status)) << error;
    EXPECT_TRUE(status.dwCurrentState == SERVICE_STOP_PENDING || status.dwCurrentState == SERVICE_STOPPED)
        << status.dwCurrentState;
    EXPECT_EQ(WaitFor(service, SERVICE_STOPPED), SERVICE_STOPPED);
    EXPECT_FALSE(Stop(service, &error, &status));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
    CloseServiceHandle(service);
}

TEST_F(Services, AStopToAServiceThatAcceptsNoControlsSays1052) {
    SC_HANDLE service = Open(kRefusingService);
    ASSERT_NE(service, nullptr) << GetLastError();
    SERVICE_STATUS status;
    DWORD error = kSentinel;
    EXPECT_FALSE(Stop(service, &error, &status));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
    CloseServiceHandle(service);
    // The status is filled in: it runs on. Wine 8 overwrites the record
    // with stray values here.
    TODO_WINE_EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
}

TEST_F(Services, AStopWhileStopPendingSays1061) {
    SC_HANDLE service = Open(kLingeringService);
    ASSERT_NE(service, nullptr) << GetLastError();
    SERVICE_STATUS status;
    DWORD error = kSentinel;
    ASSERT_TRUE(Stop(service, &error, &status)) << error;
    EXPECT_EQ(WaitFor(service, SERVICE_STOP_PENDING), SERVICE_STOP_PENDING);
    EXPECT_FALSE(Stop(service, &error, &status));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));
    EXPECT_EQ(status.dwCurrentState, SERVICE_STOP_PENDING);
    CloseServiceHandle(service);
}

TEST_F(Services, TheStartTypeChangesAndReadsBack) {
    SC_HANDLE service = Open(kRefusingService, SERVICE_CHANGE_CONFIG);
    ASSERT_NE(service, nullptr) << GetLastError();
    SetLastError(kSentinel);
    EXPECT_TRUE(ChangeServiceConfigA(service, SERVICE_NO_CHANGE, SERVICE_DISABLED, SERVICE_NO_CHANGE, NULL, NULL, NULL,
                                     NULL, NULL, NULL, NULL))
        << GetLastError();
    EXPECT_EQ(ServiceStartType(kRefusingService), SERVICE_DISABLED);
    EXPECT_TRUE(ChangeServiceConfigA(service, SERVICE_NO_CHANGE, SERVICE_DEMAND_START, SERVICE_NO_CHANGE, NULL, NULL,
                                     NULL, NULL, NULL, NULL, NULL));
    EXPECT_EQ(ServiceStartType(kRefusingService), SERVICE_DEMAND_START);
    CloseServiceHandle(service);

    service = Open(kRefusingService, SERVICE_QUERY_STATUS);
    SetLastError(kSentinel);
    EXPECT_FALSE(ChangeServiceConfigA(service, SERVICE_NO_CHANGE, SERVICE_DISABLED, SERVICE_NO_CHANGE, NULL, NULL, NULL,
                                      NULL, NULL, NULL, NULL));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << "opened without SERVICE_CHANGE_CONFIG";
    CloseServiceHandle(service);
}

TEST_F(Services, AServiceMarkedForDeletionRefusesChangesAndLeavesWithItsLastHandle) {
    SC_HANDLE service = Open(kIdleService, SERVICE_CHANGE_CONFIG | SERVICE_QUERY_STATUS | DELETE);
    ASSERT_NE(service, nullptr) << GetLastError();
    SetLastError(kSentinel);
    EXPECT_TRUE(DeleteService(service)) << GetLastError();
    SetLastError(kSentinel);
    EXPECT_FALSE(DeleteService(service));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
    SetLastError(kSentinel);
    EXPECT_FALSE(ChangeServiceConfigA(service, SERVICE_NO_CHANGE, SERVICE_DISABLED, SERVICE_NO_CHANGE, NULL, NULL, NULL,
                                      NULL, NULL, NULL, NULL));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
    EXPECT_TRUE(CloseServiceHandle(service));

    SetLastError(kSentinel);
    EXPECT_EQ(Open(kIdleService), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
}

} // namespace
