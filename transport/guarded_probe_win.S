// Windows body of the guarded probe (prototype in guarded_probe.h).
//
// MmProbeAndLockPages reports memory the caller may not access by raising an
// exception. The kernel dispatches it through the unwind data of every frame
// on the stack, so the guard is an ordinary frame whose unwind data names the
// kernel's __C_specific_handler with a scope table of one entry: the call to
// MmProbeAndLockPages, a filter that records the exception code in this
// frame and accepts every exception, and a landing point that returns the
// recorded code.
//
// NTSTATUS ProbeAndLockCallerPages(PMDL Mdl,                    rcx
//                                  KPROCESSOR_MODE AccessMode,  dl
//                                  LOCK_OPERATION Operation)    r8d
//
// Frame, after the prologue (rsp is then 16-byte aligned):
//   [rsp+0x00..0x20)  home space for the callee's four register arguments
//   [rsp+0x20]        exception code, written by the filter
//   [rsp+0x28]        return address
// The filter receives this rsp as its establisher frame, which is how it
// finds the slot.

        .text

        .globl  ProbeAndLockCallerPages
        .def    ProbeAndLockCallerPages; .scl 2; .type 32; .endef
        .seh_proc ProbeAndLockCallerPages
ProbeAndLockCallerPages:
        subq    $0x28, %rsp
        .seh_stackalloc 0x28
        .seh_endprologue
        // The arguments are still in rcx, edx and r8d, where the callee
        // expects them.
.Lguarded_begin:
        call    *__imp_MmProbeAndLockPages(%rip)
        // The return address, which is what the dispatcher compares with the
        // scope, must lie inside it: the scope ends after this nop.
        nop
.Lguarded_end:
        xorl    %eax, %eax              // STATUS_SUCCESS
        addq    $0x28, %rsp
        ret

        // Reached by unwinding once the filter has accepted the exception;
        // rsp is this frame's again.
.Lguarded_landing:
        movl    0x20(%rsp), %eax        // the exception code
        addq    $0x28, %rsp
        ret

        .seh_handler __C_specific_handler, @except
        .seh_handlerdata
        // Scope table read by __C_specific_handler: a count, then per entry
        // the image-relative begin and end of the guarded code, the filter
        // and the landing point.
        .long   1
        .rva    .Lguarded_begin
        .rva    .Lguarded_end
        .rva    ProbeAndLockFilter
        .rva    .Lguarded_landing
        .text
        .seh_endproc

// Exception filter, called by __C_specific_handler during the search for a
// handler as LONG Filter(PEXCEPTION_POINTERS Pointers rcx,
//                        ULONG64 EstablisherFrame rdx).
// Stores ExceptionRecord->ExceptionCode in the guard's frame and answers
// EXCEPTION_EXECUTE_HANDLER (1). A leaf that touches no stack, so it needs
// no unwind data of its own.
        .def    ProbeAndLockFilter; .scl 3; .type 32; .endef
        .p2align 4
ProbeAndLockFilter:
        movq    (%rcx), %rax            // Pointers->ExceptionRecord
        movl    (%rax), %eax            // ->ExceptionCode
        movl    %eax, 0x20(%rdx)
        movl    $1, %eax
        ret
