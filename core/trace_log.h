// The trace log: a plain text file in the temporary folder, written line by
// line when the program was started with "/l".
#pragma once

// Creates "<temp>\ZeltraES_RT_<tick>_Log.txt" and keeps its path and handle
// in the run state; a failure leaves INVALID_HANDLE_VALUE, which means no log.
void CreateTraceLog();

// Writes the text (without its terminator) when a trace log is open.
void WriteLogLine(const char *text);
