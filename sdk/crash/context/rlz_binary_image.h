// Follows every image the loader maps or unmaps: a "load"/"unload" line in
// "binary_images.rlzrecord" and the crash-time image table.
#pragma once

#include <cstdint>

#include "sdk/crash/records/rlz_binary_image_table.h"
#include "sdk/crash/records/rlz_macho.h"

struct RLZFile;
struct RLZBinaryImageReadOnlyContext;
struct RLZWritableContext;

struct RLZBinaryImageDetails {
  char uuidString[33];
  bool encrypted;
  RLZMachOVersion builtSDK;
  RLZMachOVersion minSDK;
  RLZBinaryImageRuntimeNode node;
  RLZMachOSlice slice;
  intptr_t vmaddrSlide;
};

void RLZBinaryImageInit(RLZBinaryImageReadOnlyContext* binaryImageContext, RLZWritableContext* writableContext);
void RLZBinaryImageAddedCallback(const void* header, intptr_t slide);
void RLZBinaryImageRemovedCallback(const void* header, intptr_t slide);
void RLZBinaryImageChanged(bool added, const void* header, intptr_t slide);
void RLZBinaryImageFillInImageDetails(RLZBinaryImageDetails* details);
void RLZBinaryImageStoreNode(bool added, const RLZBinaryImageDetails& details);
void RLZBinaryImageRecordSlice(bool added, const RLZBinaryImageDetails& details);
bool RLZBinaryImageSafeFindImageForAddress(uintptr_t address, RLZBinaryImageRuntimeNode* outNode);
bool RLZBinaryImageSafeHasUnwindInfo(const RLZBinaryImageRuntimeNode* node);
bool RLZBinaryImageFindImageForUUID(const char* uuidString, RLZBinaryImageDetails* outDetails);
bool RLZBinaryImageRecordMainExecutable(RLZFile* file);
void RLZBinaryImageRecordDetails(RLZFile* file, const RLZBinaryImageDetails* details);
bool RLZBinaryImageOpenIfNeeded(bool* needsClosing);
