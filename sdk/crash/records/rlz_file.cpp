#include "sdk/crash/records/rlz_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "sdk/crash/records/rlz_defines.h"
#include "sdk/crash/records/rlz_sdk_log.h"

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

ssize_t writeToDescriptor(void* context, const char* bytes, size_t length) {
  return write(*static_cast<int*>(context), bytes, length);
}

bool needsEscape(unsigned char c) { return c == '"' || c == '\\' || c < 0x20; }

// Escaped text gathered in a local buffer and written in chunks.
void writeEscaped(RLZFile* file, const char* bytes, size_t length) {
  char chunk[64];
  size_t used = 0;
  for (size_t i = 0; i < length; ++i) {
    if (used > sizeof chunk - 6) {
      RLZFileWrite(file, chunk, used);
      used = 0;
    }
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (!needsEscape(c)) {
      chunk[used++] = static_cast<char>(c);
      continue;
    }
    chunk[used++] = '\\';
    switch (c) {
      case '"': chunk[used++] = '"'; break;
      case '\\': chunk[used++] = '\\'; break;
      case '\n': chunk[used++] = 'n'; break;
      case '\r': chunk[used++] = 'r'; break;
      case '\t': chunk[used++] = 't'; break;
      default:
        chunk[used++] = 'u';
        chunk[used++] = '0';
        chunk[used++] = '0';
        chunk[used++] = kHexDigits[c >> 4];
        chunk[used++] = kHexDigits[c & 0xF];
    }
  }
  if (used > 0) RLZFileWrite(file, chunk, used);
}

bool initWithBuffer(RLZFile* file, const char* path, bool append, bool bufferWrites, char* buffer) {
  if (!RLZIsValidPointer(file)) {
    RLZSDKLogWarn("Error: file is null\n");
    return false;
  }
  // A link or a FIFO planted under a record's name is neither written through nor waited on.
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | (append ? O_APPEND : O_TRUNC);
  const int fd = RLZIsValidPointer(path) ? open(path, flags, 0644) : -1;
  if (fd < 0) {
    RLZSDKLogWarn("Error: Unable to open file %s\n", strerror(errno));
    RLZSDKLogWarn("Error: file descriptor invalid\n");
    return false;
  }
  memset(file, 0, sizeof *file);
  file->fd = fd;
  file->bufferWrites = bufferWrites;
  if (bufferWrites && RLZIsValidPointer(buffer)) {
    file->writeBuffer = buffer;
  } else if (bufferWrites) {
    file->ownsBuffer = true;
    file->writeBuffer = static_cast<char*>(calloc(RLZFileWriteBufferSize, 1));
    if (!file->writeBuffer) {
      RLZSDKLogError("Unable to malloc in RLZFileInit\n");
      // A handle that reports failure must not keep a descriptor nobody will close.
      close(fd);
      file->fd = -1;
      return false;
    }
  }
  if (append) {
    struct stat info;
    if (fstat(fd, &info) == 0) file->writtenLength = info.st_size;
  }
  return true;
}

}  // namespace

bool RLZFileInitWithPathMode(RLZFile* file, const char* path, bool append, bool bufferWrites) {
  return initWithBuffer(file, path, append, bufferWrites, nullptr);
}

bool RLZFileInitWithPathModeAndBuffer(RLZFile* file, const char* path, bool append, char* buffer) {
  return initWithBuffer(file, path, append, RLZIsValidPointer(buffer), buffer);
}

bool RLZFileInitWithPath(RLZFile* file, const char* path, bool bufferWrites) {
  return RLZFileInitWithPathMode(file, path, true, bufferWrites);
}

bool RLZFileClose(RLZFile* file) { return RLZFileCloseWithOffset(file, nullptr); }

bool RLZFileCloseWithOffset(RLZFile* file, int64_t* outLength) {
  if (!RLZIsValidPointer(file)) return false;
  if (file->bufferWrites && RLZIsValidPointer(file->writeBuffer)) {
    if (file->writeBufferLength > 0) RLZFileFlushWriteBuffer(file);
    char* buffer = file->writeBuffer;
    // Cleared before anything can fail, so a failed close never leaves a freed pointer behind.
    file->writeBuffer = nullptr;
    if (file->ownsBuffer) free(buffer);
  }
  if (RLZIsValidPointer(outLength)) *outLength = file->writtenLength;
  if (close(file->fd) != 0) {
    RLZSDKLogWarn("Error: Unable to close file %s\n", strerror(errno));
    file->fd = -1;
    return false;
  }
  memset(file, 0, sizeof *file);
  file->fd = -1;
  return true;
}

bool RLZFileIsOpen(const RLZFile* file) { return RLZIsValidPointer(file) && file->fd >= 0; }

bool RLZFileLoopWithWriteBlock(const char* bytes, size_t length, RLZWriteFunction writeFunction, void* context) {
  if (length == 0) return false;
  size_t remaining = length;
  const char* cursor = bytes;
  for (int attempt = 0; attempt < RLZFileMaxWriteAttempts; ++attempt) {
    const ssize_t written = writeFunction(context, cursor, remaining);
    if (written < 1 || static_cast<size_t>(written) > remaining) return false;
    if (static_cast<size_t>(written) == remaining) return true;
    cursor += written;
    remaining -= static_cast<size_t>(written);
  }
  return false;
}

bool RLZFileWriteUnbuffered(RLZFile* file, const char* bytes, size_t length) {
  int fd = file->fd;
  if (!RLZFileLoopWithWriteBlock(bytes, length, writeToDescriptor, &fd)) return false;
  file->writtenLength += static_cast<int64_t>(length);
  return true;
}

void RLZFileFlushWriteBuffer(RLZFile* file) {
  if (!RLZIsValidPointer(file) || !RLZIsValidPointer(file->writeBuffer)) return;
  if (file->writeBufferLength > 0) RLZFileWriteUnbuffered(file, file->writeBuffer, file->writeBufferLength);
  file->writeBufferLength = 0;
  file->writeBuffer[0] = 0;
}

void RLZFileWrite(RLZFile* file, const char* bytes, size_t length) {
  if (!RLZIsValidPointer(file) || length == 0) return;
  if (!file->bufferWrites || !RLZIsValidPointer(file->writeBuffer)) {
    RLZFileWriteUnbuffered(file, bytes, length);
    return;
  }
  while (file->writeBufferLength + length >= RLZFileWriteBufferSize) {
    const size_t part = RLZFileWriteBufferSize - 1 - file->writeBufferLength;
    memcpy(file->writeBuffer + file->writeBufferLength, bytes, part);
    file->writeBufferLength += part;
    file->writeBuffer[file->writeBufferLength] = 0;
    RLZFileFlushWriteBuffer(file);
    bytes += part;
    length -= part;
  }
  memcpy(file->writeBuffer + file->writeBufferLength, bytes, length);
  file->writeBufferLength += length;
  file->writeBuffer[file->writeBufferLength] = 0;
}

const char* RLZFileUInt64ToString(uint64_t value, char* buffer, bool hex) {
  memset(buffer, 0, RLZFileNumberBufferSize);
  const uint64_t base = hex ? 16 : 10;
  size_t position = RLZFileNumberBufferSize - 1;
  do {
    buffer[--position] = kHexDigits[value % base];
    value /= base;
  } while (value != 0);
  return buffer + position;
}

void RLZFileWriteUInt64(RLZFile* file, uint64_t value, bool hex) {
  char buffer[RLZFileNumberBufferSize];
  const char* digits = RLZFileUInt64ToString(value, buffer, hex);
  RLZFileWrite(file, digits, strlen(digits));
}

void RLZFileWriteInt64(RLZFile* file, int64_t value) {
  if (value < 0) {
    RLZFileWrite(file, "-", 1);
    // The magnitude of the most negative value does not fit a signed number.
    RLZFileWriteUInt64(file, 0 - static_cast<uint64_t>(value), false);
  } else {
    RLZFileWriteUInt64(file, static_cast<uint64_t>(value), false);
  }
}

bool RLZFileFDWriteUInt64(int fd, uint64_t value, bool hex) {
  char buffer[RLZFileNumberBufferSize];
  const char* digits = RLZFileUInt64ToString(value, buffer, hex);
  return RLZFileLoopWithWriteBlock(digits, strlen(digits), writeToDescriptor, &fd);
}

bool RLZFileFDWriteInt64(int fd, int64_t value) {
  if (value < 0) {
    if (!RLZFileLoopWithWriteBlock("-", 1, writeToDescriptor, &fd)) return false;
    return RLZFileFDWriteUInt64(fd, 0 - static_cast<uint64_t>(value), false);
  }
  return RLZFileFDWriteUInt64(fd, static_cast<uint64_t>(value), false);
}

void RLZFileWriteStringWithSuffix(RLZFile* file, const char* bytes, size_t length, char suffix) {
  bool plain = true;
  for (size_t i = 0; i < length && plain; ++i) plain = !needsEscape(static_cast<unsigned char>(bytes[i]));
  const size_t shortLimit = suffix ? 12 : 13;
  if (plain && length < shortLimit) {
    char assembled[16];
    size_t used = 0;
    assembled[used++] = '"';
    memcpy(assembled + used, bytes, length);
    used += length;
    assembled[used++] = '"';
    if (suffix) assembled[used++] = suffix;
    RLZFileWrite(file, assembled, used);
    return;
  }
  RLZFileWrite(file, "\"", 1);
  if (plain) {
    RLZFileWrite(file, bytes, length);
  } else {
    writeEscaped(file, bytes, length);
  }
  const char closing[2] = {'"', suffix};
  RLZFileWrite(file, closing, suffix ? 2 : 1);
}

void RLZFileWriteString(RLZFile* file, const char* value) {
  if (!RLZIsValidPointer(value)) {
    RLZFileWrite(file, "null", 4);
    return;
  }
  RLZFileWriteStringWithSuffix(file, value, strlen(value), 0);
}

void RLZFileWriteHexEncodedString(RLZFile* file, const char* value) {
  if (!RLZIsValidPointer(value)) {
    RLZFileWrite(file, "null", 4);
    return;
  }
  RLZFileWrite(file, "\"", 1);
  char chunk[32];
  size_t used = 0;
  for (const unsigned char* c = reinterpret_cast<const unsigned char*>(value); *c; ++c) {
    chunk[used++] = kHexDigits[*c >> 4];
    chunk[used++] = kHexDigits[*c & 0xF];
    if (used == sizeof chunk) {
      RLZFileWrite(file, chunk, used);
      used = 0;
    }
  }
  if (used > 0) RLZFileWrite(file, chunk, used);
  RLZFileWrite(file, "\"", 1);
}

void RLZFileWriteCollectionStart(RLZFile* file, char character) {
  if (file->needComma) RLZFileWrite(file, ",", 1);
  RLZFileWrite(file, &character, 1);
  ++file->collectionDepth;
  file->needComma = false;
}

void RLZFileWriteCollectionEnd(RLZFile* file, char character) {
  RLZFileWrite(file, &character, 1);
  if (file->collectionDepth >= 1) {
    --file->collectionDepth;
    file->needComma = file->collectionDepth > 0;
  }
}

void RLZFileWriteSectionStart(RLZFile* file, const char* name) {
  RLZFileWriteCollectionStart(file, '{');
  RLZFileWriteHashKey(file, name);
}

void RLZFileWriteSectionEnd(RLZFile* file) {
  RLZFileWriteCollectionEnd(file, '}');
  RLZFileWrite(file, "\n", 1);
}

void RLZFileWriteHashStart(RLZFile* file) { RLZFileWriteCollectionStart(file, '{'); }
void RLZFileWriteHashEnd(RLZFile* file) { RLZFileWriteCollectionEnd(file, '}'); }
void RLZFileWriteArrayStart(RLZFile* file) { RLZFileWriteCollectionStart(file, '['); }
void RLZFileWriteArrayEnd(RLZFile* file) { RLZFileWriteCollectionEnd(file, ']'); }

void RLZFileWriteHashKey(RLZFile* file, const char* key) {
  if (file->needComma) RLZFileWrite(file, ",", 1);
  RLZFileWriteStringWithSuffix(file, key, strlen(key), ':');
  file->needComma = false;
}

void RLZFileWriteHashEntryUint64(RLZFile* file, const char* key, uint64_t value) {
  RLZFileWriteHashKey(file, key);
  RLZFileWriteUInt64(file, value, false);
  file->needComma = true;
}

void RLZFileWriteHashEntryInt64(RLZFile* file, const char* key, int64_t value) {
  RLZFileWriteHashKey(file, key);
  RLZFileWriteInt64(file, value);
  file->needComma = true;
}

void RLZFileWriteHashEntryString(RLZFile* file, const char* key, const char* value) {
  RLZFileWriteHashKey(file, key);
  RLZFileWriteString(file, value);
  file->needComma = true;
}

void RLZFileWriteHashEntryNSString(RLZFile* file, const char* key, const char* value) {
  if (!RLZIsValidPointer(value) || value[0] == 0) return;
  RLZFileWriteHashEntryString(file, key, value);
}

void RLZFileWriteHashEntryHexEncodedString(RLZFile* file, const char* key, const char* value) {
  RLZFileWriteHashKey(file, key);
  RLZFileWriteHexEncodedString(file, value);
  file->needComma = true;
}

void RLZFileWriteHashEntryBoolean(RLZFile* file, const char* key, bool value) {
  RLZFileWriteHashKey(file, key);
  if (value) {
    RLZFileWrite(file, "true", 4);
  } else {
    RLZFileWrite(file, "false", 5);
  }
  file->needComma = true;
}

void RLZFileWriteArrayEntryUint64(RLZFile* file, uint64_t value) {
  if (file->needComma) RLZFileWrite(file, ",", 1);
  RLZFileWriteUInt64(file, value, false);
  file->needComma = true;
}

void RLZFileWriteArrayEntryString(RLZFile* file, const char* value) {
  if (file->needComma) RLZFileWrite(file, ",", 1);
  RLZFileWriteString(file, value);
  file->needComma = true;
}

void RLZFileWriteArrayEntryHexEncodedString(RLZFile* file, const char* value) {
  if (file->needComma) RLZFileWrite(file, ",", 1);
  RLZFileWriteHexEncodedString(file, value);
  file->needComma = true;
}
