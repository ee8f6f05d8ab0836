// The message layer's diagnostics: printf-style lines to standard output (the record functions)
// or to the system log (the accessors).
#pragma once

void NANOPrintLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
void NANOLogLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
