// Crash-safe reads, hex and UUID text, and small string helpers for crash-time code.
#pragma once

#include <cstddef>
#include <cstdint>

// Copies through the kernel, so an unmapped source fails instead of faulting.
bool RLZReadMemory(const void* source, void* destination, size_t length);
// Validates a string in place, one byte at a time up to a zero byte or `maxLength` bytes; on
// success `*outString` is `source` itself.
bool RLZReadString(const char* source, const char** outString, size_t maxLength);
// A copy in the context's readable region (the heap when there is no allocator); null for null.
const char* RLZDupString(const char* string);
// Unlinks; a missing file counts as success.
bool RLZUnlinkIfExists(const char* path);
// Replaces with "*" every non-dash character of the first parenthesised 36-character group.
void RLZRedactUUIDs(char* string);

void RLZHexEncodeByte(uint8_t byte, char* out);
// `out` holds 2 * length + 1 characters.
void RLZHexEncodeBytes(const void* bytes, size_t length, char* out);
// 0 to 15, or 255 for anything that is not a hex digit.
uint8_t RLZFileHexCharValue(char character);
// `out` holds 33 characters: 32 lower-case hex digits, no dashes.
void RLZUUIDBytesToString(const uint8_t* uuid, char* out);
