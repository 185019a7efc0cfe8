// The trace log: a plain text file in the temporary folder, written line by
// line when the program was started with "/l".
#pragma once

#include <cstddef>

// Creates "<temp>\ZeltraES_RT_<tick>_Log.txt", which must not exist yet, and
// keeps its path and handle in the run state; a failure (also for a name
// taken by a file or a link) leaves INVALID_HANDLE_VALUE, which means no log.
void CreateTraceLog();

// Writes the text (without its terminator) when a trace log is open.
void WriteLogLine(const char *text);

// Formats a line into `line` (a stage's own buffer of `capacity` characters)
// with the bounded formatter, and writes it as WriteLogLine does. The buffer
// is filled also when no trace log is open.
void WriteLogFormatted(char *line, size_t capacity, const char *format, ...);
