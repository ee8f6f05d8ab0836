// Fatal POSIX signals: one handler records the signal and the crash state into
// "signal.rlzrecord", then puts the earlier handlers back and lets the signal take its course.
#pragma once

#include <signal.h>

struct RLZSignalState;

struct RLZSignalName {
  const char* name;
  const char* codeName;
};
RLZSignalName RLZSignalNameLookup(int number, int code);
// The host's number of a signal numbered as on the phone (diagnostic payloads carry those:
// SIGBUS is 10 there, 7 here); -1 for a number outside the handled signals.
int RLZSignalHostNumberForPhoneNumber(long long phoneNumber);

void RLZSignalInitialize(RLZSignalState* signalContext);
bool RLZSignalInstallAltStack(RLZSignalState* signalContext);
void RLZSignalInstallHandlers(RLZSignalState* signalContext);
void RLZSignalHandler(int signal, siginfo_t* info, void* userContext);
void RLZSignalSafeRemoveHandlers(bool includingAbort);
// A negative `signal` calls no handler.
bool RLZSignalSafeInstallPreexistingHandlers(RLZSignalState* signalContext, int signal, siginfo_t* info,
                                             void* userContext);
void RLZSignalCheckHandlers();
// Gives the calling thread an alternate stack of its own (each thread started after set-up, and
// pool threads started before), released at thread exit.
void RLZSignalInstallThreadAltStack();
