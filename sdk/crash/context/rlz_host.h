// Facts about the host gathered once at set-up (page size, Documents directory) for the crash-time
// code, and the "host" metadata line. Set-up time code: it may allocate.
#pragma once

#include <cstddef>

struct RLZFile;
struct RLZHostReadOnlyContext;

void RLZHostInitialize(RLZHostReadOnlyContext* host);
// The kernel's page size, kept between 4 KiB and 16 KiB (16 KiB when the query fails).
size_t RLZHostGetPageSize();
bool RLZHostIsRosettaTranslated();
bool RLZHostRecord(RLZFile* file);
