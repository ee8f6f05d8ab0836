// Record files: one JSON object per line, each holding one section key. Written from crash
// handlers, so after a file is opened the writer allocates nothing, takes no lock and formats
// numbers by hand; output goes out through write(2) only.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

struct RLZFile {
  int32_t fd;
  int32_t collectionDepth;
  bool needComma;
  bool bufferWrites;
  bool ownsBuffer;
  char* writeBuffer;
  size_t writeBufferLength;
  int64_t writtenLength;
};

inline constexpr size_t RLZFileWriteBufferSize = 1000;
inline constexpr int RLZFileMaxWriteAttempts = 50;

// Opens with mode 0644; append adds to the file (its current size starts `writtenLength`),
// otherwise the file is truncated. The buffer, when asked for, is the only allocation.
bool RLZFileInitWithPathMode(RLZFile* file, const char* path, bool append, bool bufferWrites);
bool RLZFileInitWithPath(RLZFile* file, const char* path, bool bufferWrites);
// Buffered through the caller's `buffer` of RLZFileWriteBufferSize bytes, which must outlive the
// handle: crash paths cannot allocate, and a write call per token is most of a record's cost.
bool RLZFileInitWithPathModeAndBuffer(RLZFile* file, const char* path, bool append, char* buffer);
bool RLZFileClose(RLZFile* file);
bool RLZFileCloseWithOffset(RLZFile* file, int64_t* outLength);
bool RLZFileIsOpen(const RLZFile* file);

// Raw output.
void RLZFileWrite(RLZFile* file, const char* bytes, size_t length);
void RLZFileFlushWriteBuffer(RLZFile* file);
bool RLZFileWriteUnbuffered(RLZFile* file, const char* bytes, size_t length);

// One attempt to hand bytes over: the number taken, or below 1 on failure.
using RLZWriteFunction = ssize_t (*)(void* context, const char* bytes, size_t length);
// Calls `write` until every byte is taken, at most RLZFileMaxWriteAttempts times in all.
bool RLZFileLoopWithWriteBlock(const char* bytes, size_t length, RLZWriteFunction write, void* context);

// Numbers into a zeroed 21-byte buffer; the result points at the first digit inside it.
inline constexpr size_t RLZFileNumberBufferSize = 21;
const char* RLZFileUInt64ToString(uint64_t value, char* buffer, bool hex);
void RLZFileWriteUInt64(RLZFile* file, uint64_t value, bool hex);
void RLZFileWriteInt64(RLZFile* file, int64_t value);
bool RLZFileFDWriteUInt64(int fd, uint64_t value, bool hex);
bool RLZFileFDWriteInt64(int fd, int64_t value);

// Structure.
void RLZFileWriteSectionStart(RLZFile* file, const char* name);
void RLZFileWriteSectionEnd(RLZFile* file);
void RLZFileWriteCollectionStart(RLZFile* file, char character);
void RLZFileWriteCollectionEnd(RLZFile* file, char character);
void RLZFileWriteHashStart(RLZFile* file);
void RLZFileWriteHashEnd(RLZFile* file);
void RLZFileWriteArrayStart(RLZFile* file);
void RLZFileWriteArrayEnd(RLZFile* file);
void RLZFileWriteHashKey(RLZFile* file, const char* key);

void RLZFileWriteHashEntryUint64(RLZFile* file, const char* key, uint64_t value);
void RLZFileWriteHashEntryInt64(RLZFile* file, const char* key, int64_t value);
// A null value writes the key and null.
void RLZFileWriteHashEntryString(RLZFile* file, const char* key, const char* value);
// Writes nothing at all, not even the key, for a null or empty value.
void RLZFileWriteHashEntryNSString(RLZFile* file, const char* key, const char* value);
void RLZFileWriteHashEntryHexEncodedString(RLZFile* file, const char* key, const char* value);
void RLZFileWriteHashEntryBoolean(RLZFile* file, const char* key, bool value);

void RLZFileWriteArrayEntryUint64(RLZFile* file, uint64_t value);
void RLZFileWriteArrayEntryString(RLZFile* file, const char* value);
void RLZFileWriteArrayEntryHexEncodedString(RLZFile* file, const char* value);

// Bare values. System strings get JSON escapes for '"', '\' and control characters only, so a
// path or thread name can never break its line; user text always goes out as hex.
void RLZFileWriteString(RLZFile* file, const char* value);
void RLZFileWriteHexEncodedString(RLZFile* file, const char* value);
// The quoted-string primitive; `suffix` 0 for none (a colon follows keys).
void RLZFileWriteStringWithSuffix(RLZFile* file, const char* bytes, size_t length, char suffix);
