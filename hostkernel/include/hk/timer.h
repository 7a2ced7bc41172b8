// Executive timers of Windows 8.1 and later (ExAllocateTimer and its routines, high-resolution
// timers among them), the clock's interrupt rate (ExSetTimerResolution) and the precise interrupt
// time (KeQueryInterruptTimePrecise). A driver that must also load on older kernels finds the
// 8.1 routines with MmGetSystemRoutineAddress; hk::SetHighResolutionTimers makes the kernel lack
// them.
#pragma once
#include "base.h"

typedef struct _EX_TIMER* PEX_TIMER;
typedef VOID NTAPI EXT_CALLBACK(PEX_TIMER Timer, PVOID Context);
typedef EXT_CALLBACK* PEXT_CALLBACK;
typedef VOID NTAPI EXT_DELETE_CALLBACK(PVOID Context);
typedef EXT_DELETE_CALLBACK* PEXT_DELETE_CALLBACK;

typedef struct _EXT_SET_PARAMETERS_V0 {
    ULONG Version;
    ULONG Reserved;
    LONGLONG NoWakeTolerance;
} EXT_SET_PARAMETERS, *PEXT_SET_PARAMETERS;

typedef struct _EXT_CANCEL_PARAMETERS {
    ULONG Version;
    ULONG Reserved;
    PVOID Reserved2;
} EXT_CANCEL_PARAMETERS, *PEXT_CANCEL_PARAMETERS;

typedef struct _EXT_DELETE_PARAMETERS {
    ULONG Version;
    ULONG Reserved;
    PEXT_DELETE_CALLBACK DeleteCallback;
    PVOID DeleteContext;
} EXT_DELETE_PARAMETERS, *PEXT_DELETE_PARAMETERS;

#define EX_TIMER_HIGH_RESOLUTION 4
#define EX_TIMER_NO_WAKE 8
#define EX_TIMER_UNLIMITED_TOLERANCE ((LONGLONG)-1)
#define EX_TIMER_NOTIFICATION (1ul << 31)

#ifdef __cplusplus
extern "C" {
#endif
// The callback runs at DISPATCH_LEVEL when the timer expires. A high-resolution timer expires
// when it is due, an ordinary one on the first clock tick at or after that (hk::SetClockTick).
PEX_TIMER ExAllocateTimer(PEXT_CALLBACK Callback, PVOID CallbackContext, ULONG Attributes);
BOOLEAN ExSetTimer(PEX_TIMER Timer, LONGLONG DueTime, LONGLONG Period, PEXT_SET_PARAMETERS Parameters);
BOOLEAN ExCancelTimer(PEX_TIMER Timer, PEXT_CANCEL_PARAMETERS Parameters);
// With Wait, returns once a callback in progress has returned (at or below APC_LEVEL only).
BOOLEAN ExDeleteTimer(PEX_TIMER Timer, BOOLEAN Cancel, BOOLEAN Wait, PEXT_DELETE_PARAMETERS Parameters);
// One request per driver: TRUE asks for a clock interrupt every DesiredTime (no finer than 1 ms),
// FALSE withdraws the request. The new resolution, in 100 ns units.
ULONG ExSetTimerResolution(ULONG DesiredTime, BOOLEAN SetResolution);
// The interrupt time now, not as of the last clock tick (which is what KeQueryInterruptTime
// answers when a tick is modelled).
ULONGLONG KeQueryInterruptTimePrecise(PULONGLONG QpcTimeStamp);
#ifdef __cplusplus
}
#endif

inline void ExInitializeSetTimerParameters(PEXT_SET_PARAMETERS parameters)
{
    parameters->Version = 0;
    parameters->Reserved = 0;
    parameters->NoWakeTolerance = 0;
}

inline void ExInitializeDeleteTimerParameters(PEXT_DELETE_PARAMETERS parameters)
{
    parameters->Version = 0;
    parameters->Reserved = 0;
    parameters->DeleteCallback = nullptr;
    parameters->DeleteContext = nullptr;
}
