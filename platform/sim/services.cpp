// The simulated service manager: installed services as scripted state
// machines, and the manager's and services' handles (kind "service"), so a
// test can prove that every one of them was closed.
#include <cstring>
#include <map>

#include "sim/control.h"
#include "sim/internal.h"

namespace sim::detail {

namespace {

struct Service {
    std::string name;
    sim::ServiceScript script;
    DWORD pendingPolls = 0; // queries left that still report SERVICE_STOP_PENDING
    bool installed = true;  // false once the manager has forgotten it
    bool ran = false;       // it had a process: planted in any state but stopped
};

// Whether the process of a service that ran is still ending when the run
// is over (set by sim::SetServiceProcessesEndLate).
bool g_processesEndLate = false;

std::map<std::string, std::shared_ptr<Service>> &Services() {
    static std::map<std::string, std::shared_ptr<Service>> services;
    return services;
}

// Both the manager's handle and a service's handle are SC_HANDLEs; one kind
// counts them all.
struct ScObject : Object {
    std::shared_ptr<Service> service; // null for the manager's own handle
    DWORD access = 0;
    const char *Kind() const override { return "service"; }
};

// The service handle that a call of `api` acts on; null, with the last
// error set, when a failure is scripted or it is no service handle.
std::shared_ptr<ScObject> ServiceHandle(const char *api, SC_HANDLE h) {
    auto object = Lookup<ScObject>(h);
    if (object && !object->service)
        object = nullptr;
    DWORD code;
    if (TakeFault(api, object ? object->service->name.c_str() : nullptr, &code))
        return Fail(code, std::shared_ptr<ScObject>());
    if (!object)
        SetLastError(ERROR_INVALID_HANDLE);
    return object;
}

size_t HandlesOn(const Service *service) {
    size_t n = 0;
    for (auto &object : AllOf<ScObject>())
        if (object->service.get() == service)
            ++n;
    return n;
}

// A service marked for deletion leaves the manager once it is stopped and
// no handle to it is open any more.
void ForgetIfDeleted(const std::shared_ptr<Service> &service) {
    if (service->installed && service->script.markedForDelete && service->script.state == SERVICE_STOPPED &&
        HandlesOn(service.get()) == 0) {
        service->installed = false;
        // Its configuration key goes with it, as Windows' manager removes it,
        // once the service's process has ended: for a service that ran, that
        // may be after the registry stage has come to the key.
        if (!(service->ran && g_processesEndLate))
            sim::RemoveKeyTree("HKLM\\SYSTEM\\CurrentControlSet\\Services\\" + service->name);
        Services().erase(Upper(service->name));
    }
}

void FillStatus(const Service &service, LPSERVICE_STATUS status) {
    std::memset(status, 0, sizeof *status);
    status->dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status->dwCurrentState = service.script.state;
    if (service.script.state == SERVICE_RUNNING)
        status->dwControlsAccepted = SERVICE_ACCEPT_STOP;
    if (service.script.state == SERVICE_STOP_PENDING)
        status->dwWaitHint = 1000;
}

} // namespace

std::string ServicesText() {
    SIM_LOCK();
    std::string text;
    for (auto &entry : Services())
        text += "service " + entry.second->name + " " + std::to_string(entry.second->script.state) + " " +
                std::to_string(entry.second->script.startType) + "\n";
    return text;
}

void ResetServices() {
    SIM_LOCK();
    Services().clear();
    g_processesEndLate = false;
}

} // namespace sim::detail

using namespace sim::detail;

SC_HANDLE OpenSCManagerA(LPCSTR machine, LPCSTR database, DWORD access) {
    SIM_LOCK();
    DWORD code;
    if (TakeFault("OpenSCManagerA", machine, &code))
        return Fail(code, static_cast<SC_HANDLE>(nullptr));
    if (machine != nullptr && *machine != '\0')
        return Fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER), static_cast<SC_HANDLE>(nullptr));
    if (database != nullptr && !EqualNoCase(database, "ServicesActive"))
        return Fail(static_cast<DWORD>(ERROR_INVALID_NAME), static_cast<SC_HANDLE>(nullptr));
    // Measured under Wine: an open that connects to the manager (no other
    // manager handle of the process open) clears the last error; the other
    // opens, and the service calls, leave it alone.
    bool connects = true;
    for (auto &object : AllOf<ScObject>())
        if (!object->service)
            connects = false;
    auto manager = std::make_shared<ScObject>();
    manager->access = access;
    if (connects)
        SetLastError(ERROR_SUCCESS);
    return reinterpret_cast<SC_HANDLE>(AddHandle(manager));
}

SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR name, DWORD access) {
    SIM_LOCK();
    DWORD code;
    if (TakeFault("OpenServiceA", name, &code))
        return Fail(code, static_cast<SC_HANDLE>(nullptr));
    auto owner = Lookup<ScObject>(manager);
    if (!owner || owner->service)
        return Fail(static_cast<DWORD>(ERROR_INVALID_HANDLE), static_cast<SC_HANDLE>(nullptr));
    if (name == nullptr)
        return Fail(static_cast<DWORD>(ERROR_INVALID_ADDRESS), static_cast<SC_HANDLE>(nullptr));
    // Service names hold no path separators and are at most 256 characters.
    size_t length = std::strlen(name);
    if (length == 0 || length > 256 || std::strpbrk(name, "\\/") != nullptr)
        return Fail(static_cast<DWORD>(ERROR_INVALID_NAME), static_cast<SC_HANDLE>(nullptr));
    auto it = Services().find(Upper(name));
    if (it == Services().end())
        return Fail(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), static_cast<SC_HANDLE>(nullptr));
    auto handle = std::make_shared<ScObject>();
    handle->service = it->second;
    handle->access = access;
    return reinterpret_cast<SC_HANDLE>(AddHandle(handle));
}

BOOL ChangeServiceConfigA(SC_HANDLE h, DWORD serviceType, DWORD startType, DWORD errorControl, LPCSTR, LPCSTR, LPDWORD,
                          LPCSTR, LPCSTR, LPCSTR, LPCSTR) {
    SIM_LOCK();
    auto handle = ServiceHandle("ChangeServiceConfigA", h);
    if (!handle)
        return FALSE;
    if (!(handle->access & SERVICE_CHANGE_CONFIG))
        return Fail(static_cast<DWORD>(ERROR_ACCESS_DENIED), FALSE);
    Service &service = *handle->service;
    if (service.script.markedForDelete)
        return Fail(static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE), FALSE);
    if (startType != SERVICE_NO_CHANGE && startType > SERVICE_DISABLED)
        return Fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER), FALSE);
    (void)serviceType;
    (void)errorControl;
    if (startType != SERVICE_NO_CHANGE)
        service.script.startType = startType;
    return TRUE;
}

BOOL ControlService(SC_HANDLE h, DWORD control, LPSERVICE_STATUS status) {
    SIM_LOCK();
    auto handle = ServiceHandle("ControlService", h);
    if (!handle)
        return FALSE;
    if (control != SERVICE_CONTROL_STOP)
        return Fail(static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED), FALSE); // the program only stops services
    if (!(handle->access & SERVICE_STOP))
        return Fail(static_cast<DWORD>(ERROR_ACCESS_DENIED), FALSE);
    Service &service = *handle->service;
    DWORD error = ERROR_SUCCESS;
    if (service.script.state == SERVICE_STOPPED)
        error = ERROR_SERVICE_NOT_ACTIVE;
    else if (service.script.state == SERVICE_STOP_PENDING || service.script.state == SERVICE_START_PENDING)
        error = ERROR_SERVICE_CANNOT_ACCEPT_CTRL; // no stop while it is stopping or still starting
    else if (service.script.stopError != 0)
        error = service.script.stopError;
    // The status record is filled on success and for exactly these three
    // errors; any other failure leaves it as it was.
    if (error == ERROR_SUCCESS || error == ERROR_INVALID_SERVICE_CONTROL || error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL ||
        error == ERROR_SERVICE_NOT_ACTIVE) {
        if (error == ERROR_SUCCESS) {
            service.script.state = SERVICE_STOP_PENDING;
            service.pendingPolls = service.script.stopPolls;
        }
        if (status != nullptr)
            FillStatus(service, status);
    }
    return error == ERROR_SUCCESS ? TRUE : Fail(error, FALSE);
}

BOOL QueryServiceStatus(SC_HANDLE h, LPSERVICE_STATUS status) {
    SIM_LOCK();
    auto handle = ServiceHandle("QueryServiceStatus", h);
    if (!handle)
        return FALSE;
    if (status == nullptr)
        return Fail(static_cast<DWORD>(ERROR_INVALID_ADDRESS), FALSE);
    Service &service = *handle->service;
    if (service.script.state == SERVICE_STOP_PENDING) {
        if (service.pendingPolls == 0)
            service.script.state = SERVICE_STOPPED;
        else if (service.pendingPolls != sim::kAlways)
            --service.pendingPolls;
    }
    FillStatus(service, status);
    return TRUE;
}

BOOL DeleteService(SC_HANDLE h) {
    SIM_LOCK();
    auto handle = ServiceHandle("DeleteService", h);
    if (!handle)
        return FALSE;
    if (!(handle->access & DELETE))
        return Fail(static_cast<DWORD>(ERROR_ACCESS_DENIED), FALSE);
    if (handle->service->script.markedForDelete)
        return Fail(static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE), FALSE);
    handle->service->script.markedForDelete = true;
    return TRUE;
}

BOOL CloseServiceHandle(SC_HANDLE h) {
    SIM_LOCK();
    auto handle = Lookup<ScObject>(h);
    DWORD code;
    if (TakeFault("CloseServiceHandle", handle && handle->service ? handle->service->name.c_str() : nullptr, &code))
        return Fail(code, FALSE);
    if (!handle)
        return Fail(static_cast<DWORD>(ERROR_INVALID_HANDLE), FALSE);
    RemoveHandle(h);
    if (handle->service)
        ForgetIfDeleted(handle->service);
    return TRUE;
}

namespace sim {

void PlantService(const std::string &name, const ServiceScript &script) {
    SIM_LOCK();
    auto service = std::make_shared<Service>();
    service->name = name;
    service->script = script;
    service->ran = script.state != SERVICE_STOPPED;
    Services()[Upper(name)] = service;
    // The manager keeps the service's configuration in its key (CreateService).
    sim::PlantValue("HKLM\\SYSTEM\\CurrentControlSet\\Services\\" + name, "Start", REG_DWORD,
                    std::string(reinterpret_cast<const char *>(&script.startType), sizeof script.startType));
    ForgetIfDeleted(service);
}

void SetServiceProcessesEndLate(bool late) {
    SIM_LOCK();
    g_processesEndLate = late;
}

std::optional<ServiceScript> InstalledService(const std::string &name) {
    SIM_LOCK();
    auto it = Services().find(Upper(name));
    if (it == Services().end())
        return std::nullopt;
    return it->second->script;
}

} // namespace sim
