// DWARF call-frame information: the cursor readers, the CIE/FDE parser, the call-frame program
// interpreter and the expression machine. Crash-time code: records are parsed from copies on the
// caller's stack (read through the crash-safe reader), nothing is allocated and no global is written.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sdk/crash/unwind/rlz_thread_context.h"

inline constexpr uint32_t RLZDwarfMaxRegisters = 32;
inline constexpr uint64_t RLZDwarfCFARegisterExpression = 32;
inline constexpr int RLZDwarfExpressionStackSize = 100;
inline constexpr int RLZDwarfStateStackDepth = 8;
// Copies of one CIE and one FDE are parsed on the stack; longer records fail the lookup.
inline constexpr size_t RLZDwarfMaxCIESize = 512;
inline constexpr size_t RLZDwarfMaxFDESize = 4096;

enum RLZDwarfRegisterLocation : uint32_t {
  RLZDwarfRegisterUnused = 0,
  RLZDwarfRegisterAtCFAOffset = 1,
  RLZDwarfRegisterOffsetFromCFA = 2,
  RLZDwarfRegisterInRegister = 3,
  RLZDwarfRegisterAtExpression = 4,
  RLZDwarfRegisterIsExpression = 5,
  // Marked undefined by the program (the outermost frame's return address): reads as 0.
  RLZDwarfRegisterUndefined = 6,
};

struct RLZDwarfInstructions {
  uint32_t length;
  const uint8_t* start;
  intptr_t bias;  // as the record's: for DW_CFA_set_loc in a copied record
};

struct RLZDwarfCIERecord {
  uint64_t length;
  uint8_t version;
  const char* augmentation;
  uint8_t pointerEncoding;
  uint8_t lsdaEncoding;
  uint8_t personalityEncoding;
  uint64_t personalityFunction;
  uint64_t codeAlignFactor;
  int64_t dataAlignFactor;
  uint64_t returnAddressRegister;
  bool signalFrame;
  RLZDwarfInstructions instructions;
  // Real address minus the address parsed from, for pc-relative encodings of a copied record.
  intptr_t bias;
};

struct RLZDwarfFDERecord {
  uint64_t length;
  uint32_t cieOffset;
  uint64_t startAddress;
  uint64_t rangeSize;
  RLZDwarfInstructions instructions;
};

struct RLZDwarfCFIRecord {
  RLZDwarfCIERecord cie;
  RLZDwarfFDERecord fde;
  uint8_t cieBytes[RLZDwarfMaxCIESize];
  uint8_t fdeBytes[RLZDwarfMaxFDESize];
};

struct RLZDwarfRegisterRule {
  uint32_t location;
  uint64_t value;
};

struct RLZDwarfRules {
  uint64_t cfaRegister;
  uint64_t cfaRegisterOffset;
  const uint8_t* cfaExpression;
  RLZDwarfRegisterRule registers[RLZDwarfMaxRegisters];
};

struct RLZDwarfState : RLZDwarfRules {
  // Set from the registers' architecture; 0 means arm64's 32 registers and opcode set.
  uint32_t registerLimit;
  bool extendedOpcodes;
  // The rules after the CIE's program, for restore; null while the CIE's program runs.
  const RLZDwarfRules* initial;
  RLZDwarfRules saved[RLZDwarfStateStackDepth];
  int savedCount;
};

struct RLZDwarfExpressionMachine {
  uint64_t stack[RLZDwarfExpressionStackSize];
  uint64_t* stackPointer;  // null once the stack over- or underflowed
  const uint8_t* cursor;
  const uint8_t* end;
  const RLZThreadContext* registers;
};

// Cursor readers: each reads at `*cursor` and advances it.
uint8_t RLZParseUint8AndAdvance(const uint8_t** cursor);
uint16_t RLZParseUint16AndAdvance(const uint8_t** cursor);
uint32_t RLZParseUint32AndAdvance(const uint8_t** cursor);
uint64_t RLZParseUint64AndAdvance(const uint8_t** cursor);
uint64_t RLZParseULEB128AndAdvance(const uint8_t** cursor);
int64_t RLZParseLEB128AndAdvance(const uint8_t** cursor);
const char* RLZParseStringAndAdvance(const uint8_t** cursor);
uint64_t RLZParseRecordLengthAndAdvance(const uint8_t** cursor);
// All ones for an encoding it cannot read. `bias` turns the cursor into the real address of the
// field for pc-relative values.
uint64_t RLZParseAddressWithEncodingAndAdvance(const uint8_t** cursor, uint8_t encoding, intptr_t bias = 0);

bool RLZDwarfParseCIERecord(RLZDwarfCIERecord* cie, const void* address);
bool RLZDwarfParseFDERecord(RLZDwarfFDERecord* fde, bool parseCIE, RLZDwarfCIERecord* cie, const void* address);
// Copies the FDE at `ehFrame + fdeOffset` and its CIE into the record and parses both.
bool RLZDwarfParseCFIFromFDERecordOffset(RLZDwarfCFIRecord* record, const void* ehFrame, uint64_t fdeOffset);
// Copies the FDE at `address` (a live address) and its CIE into the record and parses both.
bool RLZDwarfParseCFIFromFDEAddress(RLZDwarfCFIRecord* record, uintptr_t address);
bool RLZDwarfUnwindComputeRegisters(const RLZDwarfCFIRecord* record, RLZThreadContext* registers);
bool RLZDwarfInstructionsEnumerate(const RLZDwarfInstructions* instructions, const RLZDwarfCIERecord* cie,
                                   RLZDwarfState* state, uint64_t pcOffset);
bool RLZDwarfGetCFA(const RLZDwarfState* state, const RLZThreadContext* registers, uint64_t* cfa);
bool RLZDwarfUnwindAssignRegisters(const RLZDwarfState* state, const RLZThreadContext* registers, uint64_t cfa,
                                   RLZThreadContext* outputRegisters);
uint64_t RLZDwarfGetSavedRegister(const RLZThreadContext* registers, uint64_t cfa, RLZDwarfRegisterRule location);
bool RLZDwarfEvalulateExpression(const uint8_t* expression, const RLZThreadContext* registers, uint64_t initialValue,
                                 uint64_t* result);
bool RLZDwarfUnwindGetRegisterValue(const RLZThreadContext* registers, uint64_t num, uint64_t* value);
bool RLZDwarfUnwindSetRegisterValue(RLZThreadContext* registers, uint64_t num, uint64_t value);

bool RLZDwarfExpressionMachineInit(RLZDwarfExpressionMachine* machine, const uint8_t* expression,
                                   const RLZThreadContext* registers, uint64_t initialValue);
bool RLZDwarfExpressionMachinePrepareForExecution(RLZDwarfExpressionMachine* machine);
bool RLZDwarfExpressionMachineIsFinished(const RLZDwarfExpressionMachine* machine);
bool RLZDwarfExpressionMachineExecuteNextOpcode(RLZDwarfExpressionMachine* machine);
bool RLZDwarfExpressionMachineGetResult(RLZDwarfExpressionMachine* machine, uint64_t* result);
