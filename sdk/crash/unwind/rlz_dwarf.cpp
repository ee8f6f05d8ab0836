#include "sdk/crash/unwind/rlz_dwarf.h"

#include <cstring>

#include "sdk/crash/records/rlz_crash_safe.h"
#include "sdk/crash/records/rlz_defines.h"
#include "sdk/crash/records/rlz_sdk_log.h"

namespace {

constexpr uint64_t kInvalid = ~0ull;

template <class T>
T parse(const uint8_t** cursor) {
  T value;
  memcpy(&value, *cursor, sizeof value);
  *cursor += sizeof value;
  return value;
}

uint32_t registerLimit(const RLZDwarfState* state) {
  return state->registerLimit ? state->registerLimit : RLZDwarfMaxRegisters;
}

// Reads a record (u32 or u64 length form) at a live address into `buffer`; the length in bytes
// copied, or 0.
constexpr size_t kRecordSlack = 32;

size_t copyRecord(uintptr_t address, uint8_t* buffer, size_t capacity) {
  uint32_t length32 = 0;
  if (!RLZReadMemory(reinterpret_cast<const void*>(address), &length32, sizeof length32)) {
    RLZSDKLogWarn("Error: failed to read memory at address %p\n", reinterpret_cast<void*>(address));
    return 0;
  }
  uint64_t total = uint64_t{length32} + 4;
  if (length32 == 0xFFFFFFFFu) {
    uint64_t length64 = 0;
    if (!RLZReadMemory(reinterpret_cast<const void*>(address + 4), &length64, sizeof length64)) return 0;
    total = length64 > capacity ? UINT64_MAX : length64 + 12;
  }
  // The parsers read fixed-width fields and LEB128s a few bytes past a damaged record's end: a
  // zeroed tail keeps those reads inside the buffer and ends every string and LEB128 there.
  if (length32 == 0 || total > capacity - kRecordSlack) {
    RLZSDKLogWarn("Error: CFI record at %p has unusable length %llu\n", reinterpret_cast<void*>(address),
                  static_cast<unsigned long long>(total));
    return 0;
  }
  if (!RLZReadMemory(reinterpret_cast<const void*>(address), buffer, total)) {
    RLZSDKLogWarn("Error: failed to read memory at address %p\n", reinterpret_cast<void*>(address));
    return 0;
  }
  memset(buffer + total, 0, capacity - total);
  return static_cast<size_t>(total);
}

bool parseCIE(RLZDwarfCIERecord* cie, const uint8_t* address, intptr_t bias) {
  memset(cie, 0, sizeof *cie);
  cie->bias = bias;
  cie->pointerEncoding = 0;
  const uint8_t* cursor = address;
  cie->length = RLZParseRecordLengthAndAdvance(&cursor);
  if (cie->length == 0) {
    RLZSDKLogWarn("Error: CIE length invalid\n");
    return false;
  }
  const uint8_t* end = cursor + cie->length;
  if (RLZParseUint32AndAdvance(&cursor) != 0) RLZSDKLogWarn("Error: CIE flag not found\n");
  cie->version = RLZParseUint8AndAdvance(&cursor);
  if (cie->version != 1 && cie->version != 3) {
    RLZSDKLogWarn("Error: CIE version %u unsupported\n", cie->version);
    return false;
  }
  cie->augmentation = RLZParseStringAndAdvance(&cursor);
  cie->codeAlignFactor = RLZParseULEB128AndAdvance(&cursor);
  cie->dataAlignFactor = RLZParseLEB128AndAdvance(&cursor);
  cie->returnAddressRegister =
      cie->version == 1 ? RLZParseUint8AndAdvance(&cursor) : RLZParseULEB128AndAdvance(&cursor);
  const char* augmentation = cie->augmentation;
  if (augmentation[0] != 0) {
    if (augmentation[0] != 'z') {
      RLZSDKLogWarn("Error: Unimplemented: augmentation string %s\n", augmentation);
      return false;
    }
    const uint64_t dataLength = RLZParseULEB128AndAdvance(&cursor);
    const uint8_t* dataEnd = cursor + dataLength;
    for (const char* letter = augmentation + 1; *letter; ++letter) {
      switch (*letter) {
        case 'L': cie->lsdaEncoding = RLZParseUint8AndAdvance(&cursor); break;
        case 'P':
          cie->personalityEncoding = RLZParseUint8AndAdvance(&cursor);
          cie->personalityFunction = RLZParseAddressWithEncodingAndAdvance(&cursor, cie->personalityEncoding, bias);
          if (cie->personalityFunction == kInvalid) {
            RLZSDKLogWarn("Error: Found an invalid start address\n");
            return false;
          }
          break;
        case 'R': cie->pointerEncoding = RLZParseUint8AndAdvance(&cursor); break;
        case 'S': cie->signalFrame = true; break;
        default: RLZSDKLogWarn("Error: Unhandled augmentation string entry %c\n", *letter); return false;
      }
      if (cursor > dataEnd || cursor > end) {
        RLZSDKLogWarn("Error: augmentation data overrun\n");
        return false;
      }
    }
    cursor = dataEnd;
  }
  if (cursor > end) {
    RLZSDKLogWarn("Error: CIE overrun\n");
    return false;
  }
  cie->instructions.start = cursor;
  cie->instructions.length = static_cast<uint32_t>(end - cursor);
  cie->instructions.bias = bias;
  return true;
}

bool parseFDE(RLZDwarfFDERecord* fde, bool parseCIEToo, RLZDwarfCIERecord* cie, const uint8_t* address,
              intptr_t bias) {
  memset(fde, 0, sizeof *fde);
  const uint8_t* cursor = address;
  fde->length = RLZParseRecordLengthAndAdvance(&cursor);
  if (fde->length == 0) {
    RLZSDKLogWarn("Error: FDE has zero length\n");
    return false;
  }
  const uint8_t* end = cursor + fde->length;
  const uint8_t* ciePointerField = cursor;
  fde->cieOffset = RLZParseUint32AndAdvance(&cursor);
  if (fde->cieOffset == 0) {
    RLZSDKLogWarn("Error: CIE offset invalid\n");
    return false;
  }
  if (parseCIEToo && !parseCIE(cie, ciePointerField - fde->cieOffset, bias)) {
    RLZSDKLogWarn("Error: Unable to parse CIE record\n");
    return false;
  }
  if (!RLZIsValidPointer(cie) || (cie->version != 1 && cie->version != 3)) {
    RLZSDKLogWarn("Error: CIE invalid\n");
    return false;
  }
  fde->startAddress = RLZParseAddressWithEncodingAndAdvance(&cursor, cie->pointerEncoding, bias);
  if (fde->startAddress == kInvalid) {
    RLZSDKLogWarn("Error: Found an invalid start address\n");
    return false;
  }
  fde->rangeSize = RLZParseAddressWithEncodingAndAdvance(&cursor, cie->pointerEncoding & 0x0F, bias);
  if (fde->rangeSize == kInvalid) {
    RLZSDKLogWarn("Error: Found an invalid address range\n");
    return false;
  }
  if (cie->augmentation && cie->augmentation[0] == 'z') {
    const uint64_t skip = RLZParseULEB128AndAdvance(&cursor);
    cursor += skip;
  }
  if (cursor > end) {
    RLZSDKLogWarn("Error: FDE overrun\n");
    return false;
  }
  fde->instructions.start = cursor;
  fde->instructions.length = static_cast<uint32_t>(end - cursor);
  fde->instructions.bias = bias;
  return true;
}

bool checkRegister(const RLZDwarfState* state, uint64_t reg, const char* message) {
  if (reg < registerLimit(state)) return true;
  RLZSDKLogWarn("%s\n", message);
  return false;
}

bool push(RLZDwarfExpressionMachine* m, uint64_t value) {
  if (!m->stackPointer) return false;
  if (m->stackPointer >= m->stack + RLZDwarfExpressionStackSize) {
    m->stackPointer = nullptr;
    return false;
  }
  *m->stackPointer++ = value;
  return true;
}

uint64_t pop(RLZDwarfExpressionMachine* m) {
  if (!m->stackPointer) return 0;
  if (m->stackPointer == m->stack) {
    m->stackPointer = nullptr;
    return 0;
  }
  return *--m->stackPointer;
}

}  // namespace

uint8_t RLZParseUint8AndAdvance(const uint8_t** cursor) { return parse<uint8_t>(cursor); }
uint16_t RLZParseUint16AndAdvance(const uint8_t** cursor) { return parse<uint16_t>(cursor); }
uint32_t RLZParseUint32AndAdvance(const uint8_t** cursor) { return parse<uint32_t>(cursor); }
uint64_t RLZParseUint64AndAdvance(const uint8_t** cursor) { return parse<uint64_t>(cursor); }

uint64_t RLZParseULEB128AndAdvance(const uint8_t** cursor) {
  uint64_t value = 0;
  for (int i = 0; i < 8; ++i) {
    const uint8_t byte = parse<uint8_t>(cursor);
    value |= uint64_t{byte & 0x7Fu} << (7 * i);
    if (!(byte & 0x80)) break;
  }
  return value;
}

int64_t RLZParseLEB128AndAdvance(const uint8_t** cursor) {
  uint64_t value = 0;
  int shift = 0;
  uint8_t byte = 0;
  for (int i = 0; i < 8; ++i) {
    byte = parse<uint8_t>(cursor);
    value |= uint64_t{byte & 0x7Fu} << shift;
    shift += 7;
    if (!(byte & 0x80)) break;
  }
  if (shift < 64 && (byte & 0x40)) value |= ~0ull << shift;
  return static_cast<int64_t>(value);
}

const char* RLZParseStringAndAdvance(const uint8_t** cursor) {
  const char* string = reinterpret_cast<const char*>(*cursor);
  *cursor += strlen(string) + 1;
  return string;
}

uint64_t RLZParseRecordLengthAndAdvance(const uint8_t** cursor) {
  const uint32_t length = RLZParseUint32AndAdvance(cursor);
  return length == 0xFFFFFFFFu ? RLZParseUint64AndAdvance(cursor) : length;
}

uint64_t RLZParseAddressWithEncodingAndAdvance(const uint8_t** cursor, uint8_t encoding, intptr_t bias) {
  if (encoding == 0xFF) return 0;
  const uint64_t fieldAddress = reinterpret_cast<uintptr_t>(*cursor) + static_cast<uint64_t>(bias);
  uint64_t value = 0;
  switch (encoding & 0x0F) {
    case 0x00:
    case 0x04:
    case 0x0C: value = RLZParseUint64AndAdvance(cursor); break;
    case 0x01: value = RLZParseULEB128AndAdvance(cursor); break;
    case 0x02: value = RLZParseUint16AndAdvance(cursor); break;
    case 0x03: value = RLZParseUint32AndAdvance(cursor); break;
    case 0x09: value = static_cast<uint64_t>(RLZParseLEB128AndAdvance(cursor)); break;
    case 0x0A: value = static_cast<uint64_t>(static_cast<int64_t>(static_cast<int16_t>(RLZParseUint16AndAdvance(cursor)))); break;
    case 0x0B: value = static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(RLZParseUint32AndAdvance(cursor)))); break;
    default: RLZSDKLogWarn("Unhandled: encoding 0x%02x\n", encoding); return kInvalid;
  }
  switch (encoding & 0x70) {
    case 0x00: break;
    case 0x10: value += fieldAddress; break;
    default: RLZSDKLogWarn("Unhandled: relative encoding 0x%02x\n", encoding); return kInvalid;
  }
  if (encoding & 0x80) {
    if (value == 0) return kInvalid;
    uint64_t target = 0;
    if (!RLZReadMemory(reinterpret_cast<const void*>(value), &target, sizeof target)) return kInvalid;
    value = target;
  }
  return value;
}

bool RLZDwarfParseCIERecord(RLZDwarfCIERecord* cie, const void* address) {
  if (!RLZIsValidPointer(cie) || !RLZIsValidPointer(address)) return false;
  return parseCIE(cie, static_cast<const uint8_t*>(address), 0);
}

bool RLZDwarfParseFDERecord(RLZDwarfFDERecord* fde, bool parseCIE, RLZDwarfCIERecord* cie, const void* address) {
  if (!RLZIsValidPointer(fde) || !RLZIsValidPointer(address)) return false;
  return parseFDE(fde, parseCIE, cie, static_cast<const uint8_t*>(address), 0);
}

bool RLZDwarfParseCFIFromFDEAddress(RLZDwarfCFIRecord* record, uintptr_t address) {
  if (!RLZIsValidPointer(record) || address < 4096) return false;
  if (copyRecord(address, record->fdeBytes, sizeof record->fdeBytes) < 8) return false;
  const uint8_t* cursor = record->fdeBytes;
  RLZParseRecordLengthAndAdvance(&cursor);
  const uintptr_t ciePointerField = address + static_cast<uintptr_t>(cursor - record->fdeBytes);
  uint32_t cieOffset;
  memcpy(&cieOffset, cursor, sizeof cieOffset);
  if (cieOffset == 0 || cieOffset > ciePointerField) {
    RLZSDKLogWarn("Error: CIE offset invalid\n");
    return false;
  }
  const uintptr_t cieAddress = ciePointerField - cieOffset;
  if (copyRecord(cieAddress, record->cieBytes, sizeof record->cieBytes) == 0) return false;
  const intptr_t cieBias = static_cast<intptr_t>(cieAddress - reinterpret_cast<uintptr_t>(record->cieBytes));
  if (!parseCIE(&record->cie, record->cieBytes, cieBias)) {
    RLZSDKLogWarn("Error: Unable to parse CIE record\n");
    return false;
  }
  const intptr_t fdeBias = static_cast<intptr_t>(address - reinterpret_cast<uintptr_t>(record->fdeBytes));
  return parseFDE(&record->fde, false, &record->cie, record->fdeBytes, fdeBias);
}

bool RLZDwarfParseCFIFromFDERecordOffset(RLZDwarfCFIRecord* record, const void* ehFrame, uint64_t fdeOffset) {
  if (!RLZIsValidPointer(ehFrame)) return false;
  return RLZDwarfParseCFIFromFDEAddress(record, reinterpret_cast<uintptr_t>(ehFrame) + fdeOffset);
}

namespace {

// Offsets from the CFA are taken modulo 2^64 like the addresses they are added to: a hostile
// factor must not overflow a signed product.
uint64_t factor(uint64_t value, int64_t dataAlign) { return value * static_cast<uint64_t>(dataAlign); }

}  // namespace

bool RLZDwarfInstructionsEnumerate(const RLZDwarfInstructions* instructions, const RLZDwarfCIERecord* cie,
                                   RLZDwarfState* state, uint64_t pcOffset) {
  if (!RLZIsValidPointer(instructions) || !RLZIsValidPointer(cie) || !RLZIsValidPointer(state)) return false;
  const uint8_t* cursor = instructions->start;
  const uint8_t* end = cursor + instructions->length;
  RLZSDKLogWarn("Running instructions from %p to %p\n", cursor, end);
  uint64_t location = 0;
  const uint64_t codeAlign = cie->codeAlignFactor;
  const int64_t dataAlign = cie->dataAlignFactor;
  const bool extended = state->extendedOpcodes;
  // A row holds from its own address on: a frame interrupted exactly there (a crashed frame's PC
  // is not a return address and is not moved back) needs that row, not the one before.
  while (cursor < end && location <= pcOffset) {
    const uint8_t byte = RLZParseUint8AndAdvance(&cursor);
    const uint8_t high = byte & 0xC0;
    const uint8_t operand = byte & 0x3F;
    bool ok = true;
    if (high == 0x40) {
      location += operand * codeAlign;
      RLZSDKLogWarn("DW_CFA_advance_loc %u\n", operand);
      continue;
    }
    if (high == 0x80) {
      const uint64_t offset = RLZParseULEB128AndAdvance(&cursor);
      RLZSDKLogWarn("DW_CFA_offset %u, %lld\n", operand, static_cast<long long>(offset));
      if (!checkRegister(state, operand, "Error: Found an invalid DW_CFA_offset register number")) {
        RLZSDKLogWarn("Error: Failed to execute dwarf instruction 0x%x\n", byte);
        return false;
      }
      state->registers[operand] = {RLZDwarfRegisterAtCFAOffset, factor(offset, dataAlign)};
      continue;
    }
    if (high == 0xC0) {
      if (!extended || operand >= registerLimit(state)) {
        RLZSDKLogWarn("Error: Unimplemented DWARF instruction with operand 0x%x\n", byte);
        RLZSDKLogWarn("Error: Failed to execute dwarf instruction 0x%x\n", byte);
        return false;
      }
      RLZSDKLogWarn("DW_CFA_restore %u\n", operand);
      state->registers[operand] = state->initial ? state->initial->registers[operand] : RLZDwarfRegisterRule{0, 0};
      continue;
    }
    switch (byte) {
      case 0x00: RLZSDKLogWarn("DW_CFA_nop\n"); break;
      case 0x01:
        location = RLZParseAddressWithEncodingAndAdvance(&cursor, cie->pointerEncoding, instructions->bias);
        RLZSDKLogWarn("DW_CFA_set_loc %llu\n", static_cast<unsigned long long>(location));
        break;
      case 0x02: location += RLZParseUint8AndAdvance(&cursor) * codeAlign; RLZSDKLogWarn("DW_CFA_advance_loc1\n"); break;
      case 0x03: location += RLZParseUint16AndAdvance(&cursor) * codeAlign; RLZSDKLogWarn("DW_CFA_advance_loc2\n"); break;
      case 0x04: location += RLZParseUint32AndAdvance(&cursor) * codeAlign; RLZSDKLogWarn("DW_CFA_advance_loc4\n"); break;
      case 0x08: {
        const uint64_t reg = RLZParseULEB128AndAdvance(&cursor);
        RLZSDKLogWarn("DW_CFA_same_value %llu\n", static_cast<unsigned long long>(reg));
        ok = checkRegister(state, reg, "Error: Found an invalid DW_CFA_same_value register number");
        if (ok) state->registers[reg] = {RLZDwarfRegisterUnused, 0};
        break;
      }
      case 0x09: {
        const uint64_t reg = RLZParseULEB128AndAdvance(&cursor);
        const uint64_t other = RLZParseULEB128AndAdvance(&cursor);
        RLZSDKLogWarn("DW_CFA_register %llu %llu\n", static_cast<unsigned long long>(reg),
                      static_cast<unsigned long long>(other));
        ok = checkRegister(state, reg, "Error: Found an invalid DW_CFA_register number") &&
             checkRegister(state, other, "Error: Found an invalid DW_CFA_register value");
        if (ok) state->registers[reg] = {RLZDwarfRegisterInRegister, other};
        break;
      }
      case 0x0C: {
        const uint64_t reg = RLZParseULEB128AndAdvance(&cursor);
        const uint64_t offset = RLZParseULEB128AndAdvance(&cursor);
        RLZSDKLogWarn("DW_CFA_def_cfa %llu, %lld\n", static_cast<unsigned long long>(reg), static_cast<long long>(offset));
        ok = checkRegister(state, reg, "Error: Found an invalid DW_CFA_def_cfa register number");
        if (ok) {
          state->cfaRegister = reg;
          state->cfaRegisterOffset = offset;
        }
        break;
      }
      case 0x0D: {
        const uint64_t reg = RLZParseULEB128AndAdvance(&cursor);
        RLZSDKLogWarn("DW_CFA_def_cfa_register %llu\n", static_cast<unsigned long long>(reg));
        ok = checkRegister(state, reg, "Error: Found an invalid DW_CFA_def_cfa_register register number");
        if (ok) state->cfaRegister = reg;
        break;
      }
      case 0x0E:
        state->cfaRegisterOffset = RLZParseULEB128AndAdvance(&cursor);
        RLZSDKLogWarn("DW_CFA_def_cfa_offset %lld\n", static_cast<long long>(state->cfaRegisterOffset));
        break;
      case 0x0F: {
        state->cfaRegister = RLZDwarfCFARegisterExpression;
        state->cfaExpression = cursor;
        const uint64_t length = RLZParseULEB128AndAdvance(&cursor);
        // The expression is evaluated later from this copy: it must lie inside the record.
        if (cursor > end || length > static_cast<uint64_t>(end - cursor)) {
          ok = false;
          state->cfaExpression = nullptr;
          break;
        }
        cursor += length;
        RLZSDKLogWarn("DW_CFA_def_cfa_expression %llu\n", static_cast<unsigned long long>(length));
        break;
      }
      case 0x10:
      case 0x16: {
        const uint64_t reg = RLZParseULEB128AndAdvance(&cursor);
        const uint8_t* block = cursor;
        const uint64_t length = RLZParseULEB128AndAdvance(&cursor);
        if (cursor > end || length > static_cast<uint64_t>(end - cursor)) {
          ok = false;
          break;
        }
        cursor += length;
        if (byte == 0x10) {
          RLZSDKLogWarn("DW_CFA_expression %llu %llu\n", static_cast<unsigned long long>(reg),
                        static_cast<unsigned long long>(length));
        } else {
          RLZSDKLogWarn("DW_CFA_val_expression %llu %llu\n", static_cast<unsigned long long>(reg),
                        static_cast<unsigned long long>(length));
        }
        ok = checkRegister(state, reg,
                           byte == 0x10 ? "Error: Found an invalid DW_CFA_expression register number"
                                        : "Error: Found an invalid DW_CFA_val_expression register number");
        if (ok) {
          state->registers[reg] = {byte == 0x10 ? uint32_t{RLZDwarfRegisterAtExpression} : uint32_t{RLZDwarfRegisterIsExpression},
                                   reinterpret_cast<uintptr_t>(block)};
        }
        break;
      }
      default: {
        if (!extended) {
          const bool known = byte == 0x05 || byte == 0x06 || byte == 0x07 || byte == 0x0A || byte == 0x0B ||
                             (byte >= 0x11 && byte <= 0x15) || (byte >= 0x2D && byte <= 0x2F);
          if (known) {
            RLZSDKLogWarn("Error: Unimplemented DWARF instruction 0x%x\n", byte);
          } else {
            RLZSDKLogWarn("Error: Unrecognized DWARF instruction 0x%x\n", byte);
            RLZSDKLogWarn("Error: Failed to execute dwarf instruction 0x%x\n", byte);
          }
          return false;
        }
        // glibc's opcodes, on the live path only.
        switch (byte) {
          case 0x05:
          case 0x11: {
            const uint64_t reg = RLZParseULEB128AndAdvance(&cursor);
            const int64_t factored = byte == 0x05 ? static_cast<int64_t>(RLZParseULEB128AndAdvance(&cursor))
                                                  : RLZParseLEB128AndAdvance(&cursor);
            RLZSDKLogWarn("DW_CFA_offset_extended %llu, %lld\n", static_cast<unsigned long long>(reg),
                          static_cast<long long>(factored));
            ok = checkRegister(state, reg, "Error: Found an invalid DW_CFA_offset register number");
            if (ok) state->registers[reg] = {RLZDwarfRegisterAtCFAOffset, factor(static_cast<uint64_t>(factored), dataAlign)};
            break;
          }
          case 0x06: {
            const uint64_t reg = RLZParseULEB128AndAdvance(&cursor);
            RLZSDKLogWarn("DW_CFA_restore_extended %llu\n", static_cast<unsigned long long>(reg));
            ok = checkRegister(state, reg, "Error: Found an invalid DW_CFA_restore register number");
            if (ok) state->registers[reg] = state->initial ? state->initial->registers[reg] : RLZDwarfRegisterRule{0, 0};
            break;
          }
          case 0x07: {
            const uint64_t reg = RLZParseULEB128AndAdvance(&cursor);
            RLZSDKLogWarn("DW_CFA_undefined %llu\n", static_cast<unsigned long long>(reg));
            ok = checkRegister(state, reg, "Error: Found an invalid DW_CFA_undefined register number");
            if (ok) state->registers[reg] = {RLZDwarfRegisterUndefined, 0};
            break;
          }
          case 0x0A:
            RLZSDKLogWarn("DW_CFA_remember_state\n");
            ok = state->savedCount < RLZDwarfStateStackDepth;
            if (ok) state->saved[state->savedCount++] = static_cast<const RLZDwarfRules&>(*state);
            break;
          case 0x0B:
            RLZSDKLogWarn("DW_CFA_restore_state\n");
            ok = state->savedCount > 0;
            if (ok) static_cast<RLZDwarfRules&>(*state) = state->saved[--state->savedCount];
            break;
          case 0x12: {
            const uint64_t reg = RLZParseULEB128AndAdvance(&cursor);
            const int64_t offset = static_cast<int64_t>(factor(static_cast<uint64_t>(RLZParseLEB128AndAdvance(&cursor)), dataAlign));
            RLZSDKLogWarn("DW_CFA_def_cfa_sf %llu, %lld\n", static_cast<unsigned long long>(reg), static_cast<long long>(offset));
            ok = checkRegister(state, reg, "Error: Found an invalid DW_CFA_def_cfa register number");
            if (ok) {
              state->cfaRegister = reg;
              state->cfaRegisterOffset = static_cast<uint64_t>(offset);
            }
            break;
          }
          case 0x13:
            state->cfaRegisterOffset = factor(static_cast<uint64_t>(RLZParseLEB128AndAdvance(&cursor)), dataAlign);
            RLZSDKLogWarn("DW_CFA_def_cfa_offset_sf %lld\n", static_cast<long long>(state->cfaRegisterOffset));
            break;
          case 0x2E:
            RLZSDKLogWarn("DW_CFA_GNU_args_size %llu\n", static_cast<unsigned long long>(RLZParseULEB128AndAdvance(&cursor)));
            break;
          default:
            RLZSDKLogWarn("Error: Unrecognized DWARF instruction 0x%x\n", byte);
            ok = false;
        }
      }
    }
    if (!ok) {
      RLZSDKLogWarn("Error: Failed to execute dwarf instruction 0x%x\n", byte);
      return false;
    }
  }
  return true;
}

bool RLZDwarfUnwindGetRegisterValue(const RLZThreadContext* registers, uint64_t num, uint64_t* value) {
  const RLZArchitectureTraits* traits = RLZArchitectureGetTraits(registers->architecture);
  if (num >= traits->dwarfRegisterCount) {
    RLZSDKLogWarn("Error: Unrecognized get register number %llu\n", static_cast<unsigned long long>(num));
    return false;
  }
  if (num == traits->spSlot) *value = RLZThreadContextGetStackPointer(registers);
  else if (num == traits->fpSlot) *value = RLZThreadContextGetFramePointer(registers);
  else if (num == traits->lrSlot) *value = RLZThreadContextGetLinkRegister(registers);
  else if (num == traits->pcSlot) *value = RLZThreadContextGetPC(registers);
  else *value = registers->registers[num];
  return true;
}

bool RLZDwarfUnwindSetRegisterValue(RLZThreadContext* registers, uint64_t num, uint64_t value) {
  const RLZArchitectureTraits* traits = RLZArchitectureGetTraits(registers->architecture);
  if (num >= traits->dwarfRegisterCount) {
    RLZSDKLogWarn("Unrecognized set register number %llu\n", static_cast<unsigned long long>(num));
    return false;
  }
  if (num == traits->spSlot) return RLZThreadContextSetStackPointer(registers, value);
  if (num == traits->fpSlot) return RLZThreadContextSetFramePointer(registers, value);
  if (num == traits->returnAddressColumn) {
    if (traits->lrSlot != RLZNoSlot) RLZThreadContextSetLinkRegister(registers, value);
    return RLZThreadContextSetPC(registers, value);
  }
  registers->registers[num] = value;
  return true;
}

bool RLZDwarfExpressionMachineInit(RLZDwarfExpressionMachine* machine, const uint8_t* expression,
                                   const RLZThreadContext* registers, uint64_t initialValue) {
  if (!RLZIsValidPointer(machine) || !RLZIsValidPointer(expression)) return false;
  memset(machine, 0, sizeof *machine);
  machine->cursor = expression;
  machine->registers = registers;
  machine->stackPointer = machine->stack;
  return push(machine, initialValue);
}

bool RLZDwarfExpressionMachinePrepareForExecution(RLZDwarfExpressionMachine* machine) {
  const uint64_t length = RLZParseULEB128AndAdvance(&machine->cursor);
  if (length == 0) {
    RLZSDKLogWarn("Error: DWARF expression length is zero\n");
    return false;
  }
  machine->end = machine->cursor + length;
  return true;
}

bool RLZDwarfExpressionMachineIsFinished(const RLZDwarfExpressionMachine* machine) {
  return machine->cursor >= machine->end;
}

bool RLZDwarfExpressionMachineExecuteNextOpcode(RLZDwarfExpressionMachine* m) {
  if (!m->stackPointer) return false;
  const uint8_t opcode = RLZParseUint8AndAdvance(&m->cursor);
  if (opcode >= 0x30 && opcode <= 0x4F) {
    RLZSDKLogWarn("DW_OP_lit %d\n", opcode - 0x30);
    return push(m, opcode - 0x30u);
  }
  if (opcode >= 0x70 && opcode <= 0x8F) {
    const int64_t offset = RLZParseLEB128AndAdvance(&m->cursor);
    uint64_t value = 0;
    if (!RLZDwarfUnwindGetRegisterValue(m->registers, opcode - 0x70u, &value)) return false;
    RLZSDKLogWarn("DW_OP_breg %d value %d\n", opcode - 0x70, static_cast<int>(offset));
    return push(m, value + static_cast<uint64_t>(offset));
  }
  switch (opcode) {
    case 0x06: {
      const uint64_t address = pop(m);
      uint64_t value = 0;
      RLZSDKLogWarn("DW_OP_deref %p\n", reinterpret_cast<void*>(address));
      if (!RLZReadMemory(reinterpret_cast<const void*>(address), &value, sizeof value)) {
        RLZSDKLogWarn("Error: DW_OP_deref failed to read memory\n");
        return false;
      }
      return push(m, value);
    }
    case 0x12: {
      const uint64_t top = pop(m);
      RLZSDKLogWarn("DW_OP_dup\n");
      return push(m, top) && push(m, top);
    }
    case 0x16: {
      const uint64_t a = pop(m);
      const uint64_t b = pop(m);
      RLZSDKLogWarn("DW_OP_swap\n");
      return push(m, a) && push(m, b);
    }
    case 0x1A: RLZSDKLogWarn("DW_OP_and\n"); return push(m, pop(m) & pop(m));
    case 0x22: RLZSDKLogWarn("DW_OP_plus\n"); return push(m, pop(m) + pop(m));
    case 0x23: {
      const uint64_t operand = RLZParseULEB128AndAdvance(&m->cursor);
      RLZSDKLogWarn("DW_OP_plus_uconst %llu\n", static_cast<unsigned long long>(operand));
      return push(m, pop(m) + operand);
    }
    case 0x2E: RLZSDKLogWarn("DW_OP_ne\n"); return push(m, pop(m) != pop(m) ? 1 : 0);
    case 0x94: {
      const uint8_t size = RLZParseUint8AndAdvance(&m->cursor);
      if (size != 1 && size != 2 && size != 4 && size != 8) {
        RLZSDKLogWarn("Error: unrecognized DW_OP_deref_size argument %x\n", size);
        return false;
      }
      const uint64_t address = pop(m);
      uint64_t value = 0;
      RLZSDKLogWarn("DW_OP_deref_size %p %u\n", reinterpret_cast<void*>(address), size);
      if (!RLZReadMemory(reinterpret_cast<const void*>(address), &value, size)) {
        RLZSDKLogWarn("Error: DW_OP_deref failed to read memory\n");
        return false;
      }
      return push(m, value);
    }
    default: RLZSDKLogWarn("Error: Unrecognized DWARF expression opcode 0x%x\n", opcode); return false;
  }
}

bool RLZDwarfExpressionMachineGetResult(RLZDwarfExpressionMachine* machine, uint64_t* result) {
  if (!machine->stackPointer || machine->cursor != machine->end) {
    RLZSDKLogWarn("Error: DWARF expression hasn't completed execution\n");
    return false;
  }
  if (machine->stackPointer == machine->stack) return false;
  *result = machine->stackPointer[-1];
  return true;
}

bool RLZDwarfEvalulateExpression(const uint8_t* expression, const RLZThreadContext* registers, uint64_t initialValue,
                                 uint64_t* result) {
  RLZSDKLogWarn("starting at %p with initial value %lx\n", expression, static_cast<unsigned long>(initialValue));
  RLZDwarfExpressionMachine machine;
  if (!RLZDwarfExpressionMachineInit(&machine, expression, registers, initialValue)) return false;
  if (!RLZDwarfExpressionMachinePrepareForExecution(&machine)) return false;
  while (!RLZDwarfExpressionMachineIsFinished(&machine)) {
    if (!RLZDwarfExpressionMachineExecuteNextOpcode(&machine)) return false;
  }
  return RLZDwarfExpressionMachineGetResult(&machine, result);
}

bool RLZDwarfGetCFA(const RLZDwarfState* state, const RLZThreadContext* registers, uint64_t* cfa) {
  if (state->cfaRegister == RLZDwarfCFARegisterExpression) {
    if (!RLZDwarfEvalulateExpression(state->cfaExpression, registers, 0, cfa)) {
      RLZSDKLogWarn("Error: failed to compute CFA expression\n");
      return false;
    }
    return true;
  }
  uint64_t value = 0;
  if (!RLZDwarfUnwindGetRegisterValue(registers, state->cfaRegister, &value)) {
    RLZSDKLogWarn("Error: failed to get CFA\n");
    return false;
  }
  *cfa = value + state->cfaRegisterOffset;
  return true;
}

uint64_t RLZDwarfGetSavedRegister(const RLZThreadContext* registers, uint64_t cfa, RLZDwarfRegisterRule location) {
  uint64_t value = 0;
  switch (location.location) {
    case RLZDwarfRegisterAtCFAOffset:
      if (!RLZReadMemory(reinterpret_cast<const void*>(cfa + location.value), &value, sizeof value)) {
        RLZSDKLogWarn("Error: Unable to read CFA value\n");
        return 0;
      }
      return value;
    case RLZDwarfRegisterOffsetFromCFA: RLZSDKLogWarn("Error: OffsetFromCFA unhandled\n"); return 0;
    case RLZDwarfRegisterInRegister:
      if (!RLZDwarfUnwindGetRegisterValue(registers, location.value, &value)) return 0;
      return value;
    case RLZDwarfRegisterAtExpression: {
      uint64_t address = 0;
      if (!RLZDwarfEvalulateExpression(reinterpret_cast<const uint8_t*>(location.value), registers, cfa, &address) ||
          !RLZReadMemory(reinterpret_cast<const void*>(address), &value, sizeof value)) {
        RLZSDKLogWarn("Error: Unable to read memory computed from expression\n");
        return 0;
      }
      return value;
    }
    case RLZDwarfRegisterIsExpression:
      if (!RLZDwarfEvalulateExpression(reinterpret_cast<const uint8_t*>(location.value), registers, cfa, &value)) return 0;
      return value;
    case RLZDwarfRegisterUndefined: return 0;
    default: RLZSDKLogWarn("Error: Unrecognized register save location 0x%x\n", location.location); return 0;
  }
}

bool RLZDwarfUnwindAssignRegisters(const RLZDwarfState* state, const RLZThreadContext* registers, uint64_t cfa,
                                   RLZThreadContext* outputRegisters) {
  RLZThreadContext next = *registers;
  const RLZArchitectureTraits* traits = RLZArchitectureGetTraits(registers->architecture);
  for (uint32_t reg = 0; reg < traits->dwarfRegisterCount && reg < RLZDwarfMaxRegisters; ++reg) {
    if (state->registers[reg].location == RLZDwarfRegisterUnused) continue;
    if (!RLZDwarfUnwindSetRegisterValue(&next, reg, RLZDwarfGetSavedRegister(registers, cfa, state->registers[reg]))) {
      RLZSDKLogWarn("Error: Unable to restore register value\n");
      return false;
    }
  }
  if (!RLZThreadContextSetStackPointer(&next, cfa)) {
    RLZSDKLogWarn("Error: Unable to restore SP value\n");
    return false;
  }
  if (RLZThreadContextGetStackPointer(&next) == RLZThreadContextGetStackPointer(registers)) {
    RLZSDKLogWarn("Error: Stack pointer hasn't changed\n");
    return false;
  }
  uint64_t before = 0;
  uint64_t after = 0;
  RLZDwarfUnwindGetRegisterValue(registers, traits->returnAddressColumn, &before);
  RLZDwarfUnwindGetRegisterValue(&next, traits->returnAddressColumn, &after);
  if (before == after) {
    RLZSDKLogWarn("Error: PC hasn't changed\n");
    return false;
  }
  *outputRegisters = next;
  return true;
}

bool RLZDwarfUnwindComputeRegisters(const RLZDwarfCFIRecord* record, RLZThreadContext* registers) {
  if (!RLZIsValidPointer(record) || !RLZIsValidPointer(registers)) return false;
  const RLZArchitectureTraits* traits = RLZArchitectureGetTraits(registers->architecture);
  RLZDwarfState state;
  memset(&state, 0, sizeof state);
  state.registerLimit = traits->dwarfRegisterCount;
  state.extendedOpcodes = traits->extendedCallFrameOpcodes;
  if (!RLZDwarfInstructionsEnumerate(&record->cie.instructions, &record->cie, &state, ~0ull)) {
    RLZSDKLogWarn("Error: Unable to run CIE instructions\n");
    return false;
  }
  const RLZDwarfRules initial = state;
  state.initial = &initial;
  const uint64_t pc = RLZThreadContextGetPC(registers);
  if (pc < record->fde.startAddress) {
    RLZSDKLogWarn("Error: The FDE pcOffset value cannot be negative\n");
    return false;
  }
  if (!RLZDwarfInstructionsEnumerate(&record->fde.instructions, &record->cie, &state, pc - record->fde.startAddress)) {
    RLZSDKLogWarn("Error: Unable to run FDE instructions\n");
    return false;
  }
  uint64_t cfa = 0;
  if (!RLZDwarfGetCFA(&state, registers, &cfa)) {
    RLZSDKLogWarn("Error: failed to get CFA\n");
    return false;
  }
  if (!RLZDwarfUnwindAssignRegisters(&state, registers, cfa, registers)) {
    RLZSDKLogWarn("Error: Unable to assign DWARF registers\n");
    return false;
  }
  return true;
}
