#include "core/trace_log.h"

#include <cstdarg>
#include <cstdint>
#include <cstring>

#include "core/bounded_format.h"
#include "core/run_state.h"

void CreateTraceLog() {
    char tempPath[kPathChars];
    std::memset(tempPath, 0, sizeof tempPath);
    // Unchecked: with no temporary folder the log lands in the drive's root.
    GetTempPathA(kPathChars, tempPath);
    FormatBounded(g_run.traceLogPath, kPathChars, "%s\\ZeltraES_RT_%d_Log.txt", tempPath,
                  static_cast<int32_t>(GetTickCount()));
    // A new file only, the name itself opened and not what a link planted
    // under it points at: where the temporary folder is shared (the tool run
    // as SYSTEM), any other user could have put a file or a link there first.
    HANDLE log = CreateFileA(g_run.traceLogPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                             CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    // What was opened must be one plain file of one name: were it anything
    // else by the time it is checked (a hard link made to it meanwhile, a
    // folder or a reparse point), the lines would reach another name too.
    BY_HANDLE_FILE_INFORMATION info;
    if (log != INVALID_HANDLE_VALUE &&
        (!GetFileInformationByHandle(log, &info) ||
         (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
         info.nNumberOfLinks != 1)) {
        CloseHandle(log);
        log = INVALID_HANDLE_VALUE;
    }
    g_run.traceLogHandle = log;
}

void WriteLogLine(const char *text) {
    if (g_run.traceLogHandle == 0 || g_run.traceLogHandle == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(g_run.traceLogHandle, text, static_cast<DWORD>(std::strlen(text)), &written, NULL);
}

void WriteLogFormatted(char *line, size_t capacity, const char *format, ...) {
    va_list args;
    va_start(args, format);
    FormatBoundedV(line, capacity, format, args);
    va_end(args);
    WriteLogLine(line);
}
