// The simulated kernel: the machine lock, handles, injected failures, the
// thread's last error, the virtual clock, modules with their resources and
// exports, named mutexes and threads.
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <thread>
#include <vector>

#include "resources/resource.h"
#include "sim/control.h"
#include "sim/internal.h"

extern const unsigned char kEntryListingBytes[];
extern const std::size_t kEntryListingBytesSize;

namespace sim::detail {

std::recursive_mutex &MachineLock() {
    static std::recursive_mutex lock;
    return lock;
}

namespace {

struct HandleTable {
    std::map<uintptr_t, std::shared_ptr<Object>> objects;
    uintptr_t next = 0x1000;
};

HandleTable &Handles() {
    static HandleTable table;
    return table;
}

// The standard user's processes' handles, numbered apart from the tool's.
constexpr uintptr_t kUserHandlesFrom = 0x800000;
HandleTable &UserHandles() {
    static HandleTable table{{}, kUserHandlesFrom};
    return table;
}

bool g_asUser = false;

HandleTable &CurrentHandles() { return g_asUser ? UserHandles() : Handles(); }

struct Fault {
    std::string api;
    sim::Failure failure;
};

std::vector<Fault> &Faults() {
    static std::vector<Fault> faults;
    return faults;
}

size_t CountHandles(const char *kind) {
    SIM_LOCK();
    size_t n = 0;
    for (auto &entry : Handles().objects)
        if (std::strcmp(entry.second->Kind(), kind) == 0)
            ++n;
    return n;
}

void ResetHandles() {
    SIM_LOCK();
    Handles().objects.clear();
    UserHandles().objects.clear();
    UserHandles().next = kUserHandlesFrom;
    g_asUser = false;
}

void ResetFaults() {
    SIM_LOCK();
    Faults().clear();
}

} // namespace

bool ActingAsUser() { return g_asUser; }

void EndUserProcesses() {
    SIM_LOCK();
    // Closed outside the table: a close may look at the handles left.
    std::map<uintptr_t, std::shared_ptr<Object>> closing;
    closing.swap(UserHandles().objects);
    closing.clear();
}

uintptr_t AddHandle(std::shared_ptr<Object> object) {
    SIM_LOCK();
    HandleTable &table = CurrentHandles();
    uintptr_t value = table.next;
    table.next += 4;
    table.objects[value] = std::move(object);
    return value;
}

std::shared_ptr<Object> FindHandle(const void *handle) {
    SIM_LOCK();
    auto &objects = CurrentHandles().objects;
    auto it = objects.find(reinterpret_cast<uintptr_t>(handle));
    return it == objects.end() ? nullptr : it->second;
}

bool RemoveHandle(const void *handle) {
    SIM_LOCK();
    return CurrentHandles().objects.erase(reinterpret_cast<uintptr_t>(handle)) == 1;
}

// Every process's handles: sharing is checked against them all.
std::vector<std::shared_ptr<Object>> AllHandles() {
    SIM_LOCK();
    std::vector<std::shared_ptr<Object>> out;
    for (auto &entry : Handles().objects)
        out.push_back(entry.second);
    for (auto &entry : UserHandles().objects)
        out.push_back(entry.second);
    return out;
}

unsigned g_calls = 0;
unsigned g_endAtCall = 0;

bool TakeFault(const char *api, const char *subject, DWORD *code) {
    SIM_LOCK();
    if (++g_calls == g_endAtCall) {
        g_endAtCall = 0;
        throw sim::ProcessEnded();
    }
    for (auto it = Faults().begin(); it != Faults().end(); ++it) {
        if (it->api != api)
            continue;
        sim::Failure &f = it->failure;
        if (!f.subject.empty() && (subject == nullptr || Upper(subject).find(Upper(f.subject)) == std::string::npos))
            continue;
        if (f.skip > 0) {
            --f.skip;
            continue;
        }
        *code = f.error;
        if (f.times != kAlways && --f.times == 0)
            Faults().erase(it);
        return true;
    }
    return false;
}

std::string Upper(const std::string &text) {
    std::string out = text;
    for (char &c : out)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return out;
}

bool EqualNoCase(const std::string &a, const std::string &b) { return Upper(a) == Upper(b); }

namespace {

thread_local DWORD t_lastError = 0;
std::atomic<DWORD> g_ticks{0};
std::atomic<uint64_t> g_slept{0};
DWORD g_version = 0x1DB10106; // NT 6.1, build 7601

// ---- modules ----
const HMODULE kMainModule = reinterpret_cast<HMODULE>(0x400000);

struct Module {
    std::string name; // lower case, with ".dll"
    HMODULE handle;
    int loads;
    std::map<std::string, FARPROC> exports;
};

std::vector<Module> &Modules() {
    static std::vector<Module> modules;
    return modules;
}

std::string ModuleName(const std::string &name) {
    std::string lower;
    for (char c : name)
        lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (lower.size() < 4 || lower.compare(lower.size() - 4, 4, ".dll") != 0)
        lower += ".dll";
    return lower;
}

Module *FindModule(const std::string &name) {
    for (Module &m : Modules())
        if (m.name == ModuleName(name))
            return &m;
    return nullptr;
}

Module *FindModule(HMODULE handle) {
    for (Module &m : Modules())
        if (m.handle == handle)
            return &m;
    return nullptr;
}

void InitModules() {
    Modules().clear();
    const char *names[] = {"kernel32.dll", "advapi32.dll", "user32.dll", "shlwapi.dll",
                           "comctl32.dll", "ntdll.dll",    "msi.dll"};
    uintptr_t base = 0x70000000;
    for (const char *n : names) {
        Modules().push_back(Module{n, reinterpret_cast<HMODULE>(base), 0, {}});
        base += 0x01000000;
    }
    RegisterDefaultExports();
}

// ---- resources: read-only pages, as Windows maps them ----
struct Resource {
    std::string type; // upper case
    int id;
    void *data;
    size_t mapped;
    DWORD size;
};

std::vector<Resource> &Resources() {
    static std::vector<Resource> resources;
    return resources;
}

void Unmap(Resource &r) {
    if (r.data != nullptr)
        munmap(r.data, r.mapped);
    r.data = nullptr;
}

void PutResource(const std::string &type, int id, const std::string &bytes) {
    auto &all = Resources();
    for (auto it = all.begin(); it != all.end(); ++it)
        if (it->type == Upper(type) && it->id == id) {
            Unmap(*it);
            all.erase(it);
            break;
        }
    size_t page = 4096;
    size_t mapped = (bytes.size() / page + 1) * page;
    void *data = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    std::memcpy(data, bytes.data(), bytes.size());
    mprotect(data, mapped, PROT_READ);
    all.push_back(Resource{Upper(type), id, data, mapped, static_cast<DWORD>(bytes.size())});
}

// ---- mutexes and threads ----
struct MutexObject : Object {
    std::string name;
    const char *Kind() const override { return "mutex"; }
    ~MutexObject() override;
};

// A named mutex lives while anyone holds a handle to it.
struct NamedMutex {
    int users = 0;
    // Its access list grants only the process that created it.
    bool refusesOthers = false;
};

std::map<std::string, NamedMutex> &MutexUsers() {
    static std::map<std::string, NamedMutex> users;
    return users;
}

MutexObject::~MutexObject() {
    if (!name.empty() && --MutexUsers()[name].users <= 0)
        MutexUsers().erase(name);
}

struct ThreadRun {
    std::thread thread;
    std::mutex lock;
    std::condition_variable finished;
    bool done = false;
    DWORD exitCode = 0;
    ~ThreadRun() {
        if (thread.joinable() && thread.get_id() != std::this_thread::get_id())
            thread.join();
        else if (thread.joinable())
            thread.detach();
    }
};

std::vector<std::shared_ptr<ThreadRun>> &Threads() {
    static std::vector<std::shared_ptr<ThreadRun>> threads;
    return threads;
}

struct ThreadObject : Object {
    std::shared_ptr<ThreadRun> run;
    const char *Kind() const override { return "thread"; }
};

void JoinThreads() {
    std::vector<std::shared_ptr<ThreadRun>> threads;
    {
        SIM_LOCK();
        threads.swap(Threads());
    }
    for (auto &t : threads)
        if (t->thread.joinable())
            t->thread.join();
}

bool WaitForThread(const void *handle, DWORD ms, DWORD *result) {
    auto thread = Lookup<ThreadObject>(handle);
    if (!thread)
        return false;
    std::unique_lock<std::mutex> lock(thread->run->lock);
    bool done = ms == INFINITE ? (thread->run->finished.wait(lock, [&] { return thread->run->done; }), true)
                               : thread->run->finished.wait_for(lock, std::chrono::milliseconds(ms),
                                                                [&] { return thread->run->done; });
    *result = done ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    return true;
}

// The folders SetDefaultDllDirectories chose; 0 while it was not called.
DWORD g_dllDirectories = 0;

BOOL WINAPI SimSetDefaultDllDirectories(DWORD flags) {
    SIM_LOCK();
    DWORD code;
    if (TakeFault("SetDefaultDllDirectories", nullptr, &code))
        return Fail(code, FALSE);
    if (flags == 0)
        return Fail(ERROR_INVALID_PARAMETER, FALSE);
    g_dllDirectories = flags;
    return TRUE;
}

} // namespace

void RegisterKernelExports() { SIM_EXPORT("kernel32.dll", SetDefaultDllDirectories, SimSetDefaultDllDirectories); }

namespace {

void ResetKernel() {
    JoinThreads();
    SIM_LOCK();
    g_dllDirectories = 0;
    ResetHandles();
    ResetFaults();
    g_calls = 0;
    g_endAtCall = 0;
    MutexUsers().clear();
    g_ticks = 0;
    g_slept = 0;
    g_version = 0x1DB10106;
    InitModules();
    for (Resource &r : Resources())
        Unmap(r);
    Resources().clear();
    PutResource("ENTRYLISTINGS", IDR_ENTRYLISTINGS,
                std::string(reinterpret_cast<const char *>(kEntryListingBytes), kEntryListingBytesSize));
}

} // namespace

void RegisterExport(const char *module, const char *function, FARPROC address) {
    SIM_LOCK();
    if (Module *m = FindModule(std::string(module)))
        m->exports[function] = address;
}

} // namespace sim::detail

using namespace sim::detail;

// ---- kernel32 ----

DWORD GetLastError() { return t_lastError; }
void SetLastError(DWORD code) { t_lastError = code; }
DWORD GetTickCount() { return g_ticks.load(); }

void Sleep(DWORD ms) {
    // Virtual time: a test never sleeps for real.
    g_ticks += ms;
    g_slept += ms;
}

DWORD GetVersion() { return g_version; }
HANDLE GetCurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); }

BOOL CloseHandle(HANDLE h) {
    SIM_LOCK();
    DWORD code;
    if (TakeFault("CloseHandle", nullptr, &code))
        return Fail(code, FALSE);
    auto object = FindHandle(h);
    if (!object || std::strcmp(object->Kind(), "key") == 0 || std::strcmp(object->Kind(), "service") == 0 ||
        std::strcmp(object->Kind(), "find") == 0)
        return Fail(ERROR_INVALID_HANDLE, FALSE);
    RemoveHandle(h);
    return TRUE;
}

HMODULE GetModuleHandleA(LPCSTR name) {
    SIM_LOCK();
    DWORD code;
    if (TakeFault("GetModuleHandleA", name, &code))
        return Fail(code, static_cast<HMODULE>(nullptr));
    if (name == nullptr)
        return kMainModule;
    Module *m = FindModule(std::string(name));
    return m ? m->handle : Fail(ERROR_MOD_NOT_FOUND, static_cast<HMODULE>(nullptr));
}

HMODULE LoadLibraryA(LPCSTR name) {
    SIM_LOCK();
    DWORD code;
    if (TakeFault("LoadLibraryA", name, &code))
        return Fail(code, static_cast<HMODULE>(nullptr));
    Module *m = name ? FindModule(std::string(name)) : nullptr;
    if (!m)
        return Fail(ERROR_MOD_NOT_FOUND, static_cast<HMODULE>(nullptr));
    ++m->loads;
    return m->handle;
}

BOOL FreeLibrary(HMODULE module) {
    SIM_LOCK();
    Module *m = FindModule(module);
    if (!m || m->loads == 0)
        return Fail(ERROR_INVALID_HANDLE, FALSE);
    --m->loads;
    return TRUE;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
    SIM_LOCK();
    DWORD code;
    if (TakeFault("GetProcAddress", name, &code))
        return Fail(code, static_cast<FARPROC>(nullptr));
    Module *m = FindModule(module);
    if (!m)
        return Fail(ERROR_MOD_NOT_FOUND, static_cast<FARPROC>(nullptr));
    auto it = m->exports.find(name ? name : "");
    if (it == m->exports.end())
        return Fail(ERROR_PROC_NOT_FOUND, static_cast<FARPROC>(nullptr));
    return it->second;
}

HRSRC FindResourceA(HMODULE module, LPCSTR name, LPCSTR type) {
    SIM_LOCK();
    DWORD code;
    if (TakeFault("FindResourceA", IS_INTRESOURCE(type) ? nullptr : type, &code))
        return Fail(code, static_cast<HRSRC>(nullptr));
    if (module != nullptr && module != kMainModule)
        return Fail(ERROR_RESOURCE_DATA_NOT_FOUND, static_cast<HRSRC>(nullptr));
    if (!IS_INTRESOURCE(name) || IS_INTRESOURCE(type))
        return Fail(ERROR_RESOURCE_NAME_NOT_FOUND, static_cast<HRSRC>(nullptr));
    int id = static_cast<int>(reinterpret_cast<uintptr_t>(name));
    bool typeSeen = false;
    for (Resource &r : Resources()) {
        if (r.type != Upper(type))
            continue;
        typeSeen = true;
        if (r.id == id)
            return reinterpret_cast<HRSRC>(&r);
    }
    return Fail(typeSeen ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND, static_cast<HRSRC>(nullptr));
}

HGLOBAL LoadResource(HMODULE, HRSRC res) {
    SIM_LOCK();
    DWORD code;
    if (TakeFault("LoadResource", nullptr, &code) || res == nullptr)
        return Fail(res ? code : ERROR_INVALID_HANDLE, static_cast<HGLOBAL>(nullptr));
    return reinterpret_cast<Resource *>(res)->data;
}

DWORD SizeofResource(HMODULE, HRSRC res) {
    SIM_LOCK();
    DWORD code;
    if (TakeFault("SizeofResource", nullptr, &code) || res == nullptr)
        return Fail(res ? code : ERROR_INVALID_HANDLE, 0u);
    return reinterpret_cast<Resource *>(res)->size;
}

LPVOID LockResource(HGLOBAL data) {
    SIM_LOCK();
    DWORD code;
    if (TakeFault("LockResource", nullptr, &code))
        return Fail(code, static_cast<LPVOID>(nullptr));
    return data;
}

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL, LPCSTR name) {
    SIM_LOCK();
    DWORD code;
    if (TakeFault("CreateMutexA", name, &code))
        return Fail(code, static_cast<HANDLE>(nullptr));
    auto mutex = std::make_shared<MutexObject>();
    mutex->name = name ? name : "";
    bool existed = false;
    if (!mutex->name.empty()) {
        NamedMutex &named = MutexUsers()[mutex->name];
        // Creating an existing mutex opens it, which its access list decides.
        if (named.users > 0 && named.refusesOthers)
            return Fail(static_cast<DWORD>(ERROR_ACCESS_DENIED), static_cast<HANDLE>(nullptr));
        existed = named.users++ > 0;
    }
    HANDLE h = reinterpret_cast<HANDLE>(AddHandle(mutex));
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start, LPVOID param, DWORD,
                    LPDWORD threadId) {
    SIM_LOCK();
    DWORD code;
    if (TakeFault("CreateThread", nullptr, &code))
        return Fail(code, static_cast<HANDLE>(nullptr));
    auto run = std::make_shared<ThreadRun>();
    auto object = std::make_shared<ThreadObject>();
    object->run = run;
    HANDLE h = reinterpret_cast<HANDLE>(AddHandle(object));
    static DWORD nextId = 100;
    if (threadId)
        *threadId = nextId;
    nextId += 4;
    run->thread = std::thread([run, start, param] {
        DWORD exitCode = start(param);
        std::lock_guard<std::mutex> lock(run->lock);
        run->exitCode = exitCode;
        run->done = true;
        run->finished.notify_all();
    });
    Threads().push_back(run);
    return h;
}

// ---- control API ----

namespace sim {

void AsUser(const std::function<void()> &act) {
    SIM_LOCK();
    // The user's calls run in their own process: the caller's last error
    // stays as it was.
    struct Acting {
        bool was = detail::g_asUser;
        DWORD lastError = GetLastError();
        Acting() { detail::g_asUser = true; }
        ~Acting() {
            detail::g_asUser = was;
            SetLastError(lastError);
        }
    } acting;
    act();
}

void EndProcessAtCall(unsigned n) {
    SIM_LOCK();
    detail::g_endAtCall = n;
}

unsigned CallsMade() {
    SIM_LOCK();
    return detail::g_calls;
}

void EndProcess() {
    SIM_LOCK();
    for (auto &entry : std::map<uintptr_t, std::shared_ptr<detail::Object>>(detail::Handles().objects)) {
        auto *handle = reinterpret_cast<HANDLE>(entry.first);
        std::string kind = entry.second->Kind();
        if (kind == "key")
            RegCloseKey(static_cast<HKEY>(handle));
        else if (kind == "service")
            CloseServiceHandle(static_cast<SC_HANDLE>(handle));
        else if (kind == "find")
            FindClose(handle);
        else
            CloseHandle(handle);
    }
}

std::string MachineText() {
    SIM_LOCK();
    return detail::FilesText() + detail::RegistryText() + detail::ServicesText() + detail::ProductsText();
}

void FailCall(const std::string &api, const Failure &failure) {
    SIM_LOCK();
    Faults().push_back(Fault{api, failure});
}

void SetTickCount(DWORD ticks) { g_ticks = ticks; }
uint64_t SleptMilliseconds() { return g_slept.load(); }
void SetVersion(DWORD version) { g_version = version; }

size_t OpenHandles(const std::string &kind) { return CountHandles(kind.c_str()); }

void SetResource(const std::string &type, int id, const std::string &bytes) {
    SIM_LOCK();
    PutResource(type, id, bytes);
}

void RemoveResource(const std::string &type, int id) {
    SIM_LOCK();
    auto &all = Resources();
    for (auto it = all.begin(); it != all.end(); ++it)
        if (it->type == Upper(type) && it->id == id) {
            Unmap(*it);
            all.erase(it);
            return;
        }
}

std::string DefaultEntryListing() {
    return std::string(reinterpret_cast<const char *>(kEntryListingBytes), kEntryListingBytesSize);
}

void RemoveExport(const std::string &module, const std::string &function) {
    SIM_LOCK();
    if (Module *m = FindModule(module))
        m->exports.erase(function);
}

void PlantMutex(const std::string &name, MutexAccess access) {
    SIM_LOCK();
    NamedMutex &named = MutexUsers()[name];
    if (named.users++ == 0)
        named.refusesOthers = access == MutexAccess::RefusesOthers;
}

void JoinThreads() { sim::detail::JoinThreads(); }

DWORD DefaultDllDirectories() {
    SIM_LOCK();
    return g_dllDirectories;
}

void Reset() {
    ResetKernel();
    ResetFiles();
    ResetUi();
    ResetSecurity();
    ResetServices();
    ResetEnvironment();
    ResetWow64();
    ResetRegistry();
    ResetRegistrySecurity();
    ResetProcesses();
}

} // namespace sim

DWORD WaitForSingleObject(HANDLE h, DWORD ms) {
    DWORD code;
    if (TakeFault("WaitForSingleObject", nullptr, &code))
        return Fail(code, WAIT_FAILED);
    DWORD result;
    if (WaitForThread(h, ms, &result) || WaitForProcess(h, ms, &result))
        return result;
    return Fail(ERROR_INVALID_HANDLE, WAIT_FAILED);
}
