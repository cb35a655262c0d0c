// The stand-in's verifier: a broken platform rule stops the test with one
// line that names the rule, the routine and the object; rules the platform's
// verifier only reports are collected and fail the end-of-test audit unless
// the test takes them.
#pragma once

#include <string>
#include <string_view>

namespace host {

// Prints "VERIFIER: <rule> [<routine>, <object>]: <detail>" and aborts.
[[noreturn]] void Violation(std::string_view rule, std::string_view routine, const void* object,
                            std::string_view detail = {});

// Records a reportable breach in the current world (or prints it when no
// world exists) and carries on.
void Report(std::string_view rule, std::string_view routine, const void* object,
            std::string_view detail = {});

std::string Hex(const void* pointer);
std::string Hex(unsigned long long value);
std::string TagText(unsigned int tag);

// The rules, by the words each stop or report begins with.
namespace rule {
inline constexpr const char* kCompletedTwice = "request completed twice";
inline constexpr const char* kCompletedWithBadStatus = "request completed with STATUS_PENDING or -1";
inline constexpr const char* kCancelRoutineSet = "cancel routine still set";
inline constexpr const char* kCompletedAboveDispatch = "request completed above DISPATCH_LEVEL";
inline constexpr const char* kCallToBadDevice = "call to a device that does not exist";
inline constexpr const char* kNotAnIrp = "not a request";
inline constexpr const char* kIrqlChanged = "IRQL changed across a driver routine";
inline constexpr const char* kPendingNotMarked = "STATUS_PENDING returned without IoMarkIrpPending";
inline constexpr const char* kMarkedNotPending = "marked pending but returned another status";
inline constexpr const char* kStatusMismatch = "dispatch returned a status other than the one it completed with";
inline constexpr const char* kRequestDropped = "dispatch returned without completing, passing down or pending the request";
inline constexpr const char* kPendingReturnedIgnored = "completion routine ignored PendingReturned";
inline constexpr const char* kMarkedPastTop = "IoMarkIrpPending past the top stack location";
inline constexpr const char* kControlNotCleared = "passed down without clearing the next location's Control";
inline constexpr const char* kRoutineCopiedDown = "passed down with the upper completion routine copied";
inline constexpr const char* kNoStackLocation = "no stack location left";
inline constexpr const char* kSkipsAttachedDevice = "passed to a device that skips an attached device";
inline constexpr const char* kQueuedBelow = "request is queued below";
inline constexpr const char* kAllocatedIrpNoRoutine = "allocated request sent without a completion routine";
inline constexpr const char* kAllocatedIrpAtTop = "allocated request completed to the top";
inline constexpr const char* kFreeThreadedIrp = "IoFreeIrp on a request the I/O manager owns";
inline constexpr const char* kFreeIrpInUse = "IoFreeIrp on a request in use";
inline constexpr const char* kFreedIrpTouched = "freed request touched";
inline constexpr const char* kKernelStackOverflow = "kernel stack overflow by nested completion";
inline constexpr const char* kResentButContinued =
    "completion routine sent the request down again but let its completion go on";
inline constexpr const char* kEventAlreadySignalled = "event already signalled when STATUS_PENDING is returned";
inline constexpr const char* kBufferedOverrun = "Information larger than the output buffer";
inline constexpr const char* kCallAboveDispatch = "IofCallDriver above DISPATCH_LEVEL";
inline constexpr const char* kPassiveRequestAtDispatch = "request that needs PASSIVE_LEVEL sent at a raised IRQL";
inline constexpr const char* kThreadedAtApc = "threaded request sent at APC_LEVEL or above";
inline constexpr const char* kPnpFailed = "Plug and Play request that must not fail failed";
inline constexpr const char* kPnpNotDeleted = "device not detached and deleted on REMOVE";
inline constexpr const char* kDeviceInitializing = "DO_DEVICE_INITIALIZING left set";
inline constexpr const char* kPowerPagableNotInherited = "DO_POWER_PAGABLE not inherited";
inline constexpr const char* kIoMethodFlags = "I/O method flags both set";
inline constexpr const char* kDeleteTwice = "device deleted twice";
inline constexpr const char* kDeleteAttached = "device deleted while still attached";
inline constexpr const char* kDetachUnattached = "IoDetachDevice on a device with nothing attached";
inline constexpr const char* kPoolZeroBytes = "zero-byte pool allocation";
inline constexpr const char* kPoolIrql = "pool used at an IRQL its type does not allow";
inline constexpr const char* kPoolBadAddress = "pool freed at an address that is not an allocation";
inline constexpr const char* kPoolDoubleFree = "pool freed twice";
inline constexpr const char* kPoolWrongTag = "pool freed with the wrong tag";
inline constexpr const char* kPoolMustSucceed = "NonPagedPoolMustSucceed requested";
inline constexpr const char* kPoolTagZero = "pool tag 0";
inline constexpr const char* kPoolExecutable = "executable nonpaged pool requested by a driver";
inline constexpr const char* kUnloadUnsafeCompletion =
    "driver's own request sent with a completion routine that nothing holds the driver for";
inline constexpr const char* kUnloadWithRoutinePending = "driver unloaded while a completion routine it set may still run";
inline constexpr const char* kDriverInvariant = "driver invariant broken";
inline constexpr const char* kRaiseLower = "KeRaiseIrql to a lower level";
inline constexpr const char* kLowerHigher = "KeLowerIrql to a level other than the raise returned";
inline constexpr const char* kWaitAboveDispatch = "wait above DISPATCH_LEVEL";
inline constexpr const char* kUnboundedWaitAtDispatch = "unbounded wait at DISPATCH_LEVEL";
inline constexpr const char* kUninitialisedEvent = "event never initialised";
inline constexpr const char* kSetEventAboveDispatch = "KeSetEvent above DISPATCH_LEVEL";
inline constexpr const char* kWaitNeverEnds = "wait that nothing ends";
inline constexpr const char* kMdlProbeFlags = "MmProbeAndLockPages on an MDL with bad flags";
inline constexpr const char* kMdlUnlockUnlocked = "MmUnlockPages on an MDL that is not locked";
inline constexpr const char* kMdlMapUnlocked = "MmMapLockedPages on an MDL that is not locked";
inline constexpr const char* kMdlMapTwice = "MmMapLockedPages on an MDL already mapped";
inline constexpr const char* kMdlFreedLocked = "MDL freed while locked or mapped";
inline constexpr const char* kMdlBad = "not an MDL";
inline constexpr const char* kMappingFailedFatally = "mapping failed without MDL_MAPPING_CAN_FAIL";
inline constexpr const char* kIrqlTooHigh = "called above its IRQL";
inline constexpr const char* kPagedCodeRaised = "pageable code above APC_LEVEL";
inline constexpr const char* kClosedHandle = "registry call on a handle that is not open";
inline constexpr const char* kUserAddressTouched = "user address touched from kernel mode";
inline constexpr const char* kLeakAtUnload = "driver unloaded with resources left";
inline constexpr const char* kUnloadWithDevices = "driver unloaded with devices left";
inline constexpr const char* kErrorLogEntry = "bad error-log entry";
inline constexpr const char* kBadArgument = "bad argument";
inline constexpr const char* kPortContract = "port driver contract broken";
}  // namespace rule

}  // namespace host
