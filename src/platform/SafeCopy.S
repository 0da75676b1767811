// int merlox_safe_copy(void* dst, const void* src, size_t n)
//
// Copies n bytes and returns 0, or returns 1 if the copy touched memory it may not. The single
// `rep movsb` between merlox_safe_copy_fault_begin and merlox_safe_copy_fault_end is the only
// instruction here that touches the buffers. When it faults, the fault handler in
// CallerMemory.cpp sees the faulting instruction pointer inside that range and resumes at
// merlox_safe_copy_fixup, which returns the failure result.
//
// This lives in assembly because the compiler must not be free to inline, reorder or split the
// access: only an instruction range fixed at assembly time can be recognised reliably by a
// handler. It also keeps sanitizer instrumentation out of the access, since the caller's memory
// is not the library's to check.
//
// Both x86-64 calling conventions are served from one source:
//   System V (Linux host build): dst in rdi, src in rsi, n in rdx, which is already where
//     `rep movsb` wants the pointers; rdi and rsi are scratch registers.
//   Microsoft x64 (the DLL): dst in rcx, src in rdx, n in r8; rdi and rsi belong to the
//     caller, so they are saved, with unwind directives describing the pushes so that a debugger
//     or a frame-based handler can walk through this frame if a fault is not handled.
// The direction flag is clear on entry under both conventions, so the copy runs forwards.

#if !defined(__x86_64__)
#error "SafeCopy.S implements the x86-64 calling conventions only"
#endif

        .text
        .p2align 4
        .globl  merlox_safe_copy
        .globl  merlox_safe_copy_fault_begin
        .globl  merlox_safe_copy_fault_end
        .globl  merlox_safe_copy_fixup

#ifdef _WIN32

        .def    merlox_safe_copy; .scl 2; .type 32; .endef
        .seh_proc merlox_safe_copy
merlox_safe_copy:
        pushq   %rsi
        .seh_pushreg %rsi
        pushq   %rdi
        .seh_pushreg %rdi
        .seh_endprologue
        movq    %rcx, %rdi
        movq    %rdx, %rsi
        movq    %r8, %rcx
merlox_safe_copy_fault_begin:
        rep movsb
merlox_safe_copy_fault_end:
        xorl    %eax, %eax
        popq    %rdi
        popq    %rsi
        ret
merlox_safe_copy_fixup:
        movl    $1, %eax
        popq    %rdi
        popq    %rsi
        ret
        .seh_endproc

#else

        // Hidden: these symbols are the library's own business, even in a shared build.
        .hidden merlox_safe_copy
        .hidden merlox_safe_copy_fault_begin
        .hidden merlox_safe_copy_fault_end
        .hidden merlox_safe_copy_fixup
        .type   merlox_safe_copy, @function
merlox_safe_copy:
        movq    %rdx, %rcx
merlox_safe_copy_fault_begin:
        rep movsb
merlox_safe_copy_fault_end:
        xorl    %eax, %eax
        ret
merlox_safe_copy_fixup:
        movl    $1, %eax
        ret
        .size   merlox_safe_copy, . - merlox_safe_copy

        // Nothing here runs from the stack: without this note the linker would mark the whole
        // program's stack executable.
        .section .note.GNU-stack, "", @progbits

#endif
