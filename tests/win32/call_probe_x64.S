# void pb_call_probe64(void* fn, const uint64_t* args, uint64_t nargs,
#                      ProbeOut* out)
#
# Calls fn as an x64 caller does and reports what it finds afterwards.
# nargs is at least 4 (pad with zeros), first argument first: args[0..3] go into
# RCX, RDX, R8, R9 and, bit for bit, into XMM0..XMM3 as well (what a
# variadic caller does), so a double argument reaches its callee whichever
# slot it takes; args[4..] go onto the stack above the 32-byte home area.
# Before the call RAX holds 0xDEADBEEFDEADBEEF and every non-volatile
# register (RBX RSI RDI R12-R15 XMM6-XMM15) a distinct pattern.
#
# ProbeOut { uint64_t rax, xmm0, clobbered; int64_t rspDelta; }:
#   rax, xmm0   the two result registers (an integer or pointer result is
#               in RAX, a double in XMM0)
#   clobbered   a bit for each non-volatile register the callee did not put
#               back: 1 RBX, 2 RSI, 4 RDI, 8..64 R12..R15, 128 << n XMMn-6
#   rspDelta    RSP after the call minus RSP before it (0: the callee left
#               the caller's stack as it found it)
#
# No unwind data: nothing may unwind through this frame (gtest does not).
        .text
        .globl  pb_call_probe64
pb_call_probe64:
        pushq   %rbp
        movq    %rsp, %rbp
        pushq   %rbx
        pushq   %rsi
        pushq   %rdi
        pushq   %r12
        pushq   %r13
        pushq   %r14
        pushq   %r15
        subq    $200, %rsp              # rsp = rbp - 256, 16-byte aligned
        movq    %rcx, -64(%rbp)         # fn
        movq    %rdx, -72(%rbp)         # args
        movq    %r8, -80(%rbp)          # nargs
        movq    %r9, -88(%rbp)          # out
        movdqu  %xmm6, -112(%rbp)       # the caller's XMM6-15
        movdqu  %xmm7, -128(%rbp)
        movdqu  %xmm8, -144(%rbp)
        movdqu  %xmm9, -160(%rbp)
        movdqu  %xmm10, -176(%rbp)
        movdqu  %xmm11, -192(%rbp)
        movdqu  %xmm12, -208(%rbp)
        movdqu  %xmm13, -224(%rbp)
        movdqu  %xmm14, -240(%rbp)
        movdqu  %xmm15, -256(%rbp)

        # Stack arguments: 8 * nargs bytes (the first 4 are the home area),
        # rounded up to keep RSP 16-byte aligned at the call.
        leaq    15(,%r8,8), %r10
        andq    $-16, %r10
        subq    %r10, %rsp
        movq    $4, %r10
1:      cmpq    %r8, %r10
        jae     2f
        movq    (%rdx,%r10,8), %r11
        movq    %r11, (%rsp,%r10,8)
        incq    %r10
        jmp     1b
2:      movq    %rsp, -96(%rbp)         # RSP at the call

        movabs  $0x1111111111111111, %rbx
        movabs  $0x2222222222222222, %rsi
        movabs  $0x3333333333333333, %rdi
        movabs  $0x4444444444444444, %r12
        movabs  $0x5555555555555555, %r13
        movabs  $0x6666666666666666, %r14
        movabs  $0x7777777777777777, %r15
        .irp    n, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
        movabs  $(0x0f0f0f0f00000000 + \n), %rax
        movq    %rax, %xmm\n
        .endr
        movq    -64(%rbp), %r11
        movq    (%rdx), %rcx
        movq    8(%rdx), %r8
        movq    %rcx, %xmm0
        movq    %r8, %xmm1
        movq    16(%rdx), %r8
        movq    24(%rdx), %r9
        movq    %r8, %xmm2
        movq    %r9, %xmm3
        movq    8(%rdx), %rdx
        movabs  $0xDEADBEEFDEADBEEF, %rax
        call    *%r11

        movq    -88(%rbp), %r9
        movq    %rax, (%r9)
        movq    %xmm0, 8(%r9)
        movq    %rsp, %rax
        subq    -96(%rbp), %rax
        movq    %rax, 24(%r9)
        xorl    %r10d, %r10d
        .macro  PB_CHECK reg, value, bit
        movabs  $\value, %r11
        cmpq    %r11, \reg
        je      3f
        orq     $\bit, %r10
3:
        .endm
        PB_CHECK %rbx, 0x1111111111111111, 1
        PB_CHECK %rsi, 0x2222222222222222, 2
        PB_CHECK %rdi, 0x3333333333333333, 4
        PB_CHECK %r12, 0x4444444444444444, 8
        PB_CHECK %r13, 0x5555555555555555, 16
        PB_CHECK %r14, 0x6666666666666666, 32
        PB_CHECK %r15, 0x7777777777777777, 64
        .irp    n, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
        movq    %xmm\n, %rax
        PB_CHECK %rax, (0x0f0f0f0f00000000 + \n), (128 << (\n - 6))
        .endr
        movq    %r10, 16(%r9)

        movdqu  -112(%rbp), %xmm6
        movdqu  -128(%rbp), %xmm7
        movdqu  -144(%rbp), %xmm8
        movdqu  -160(%rbp), %xmm9
        movdqu  -176(%rbp), %xmm10
        movdqu  -192(%rbp), %xmm11
        movdqu  -208(%rbp), %xmm12
        movdqu  -224(%rbp), %xmm13
        movdqu  -240(%rbp), %xmm14
        movdqu  -256(%rbp), %xmm15
        leaq    -56(%rbp), %rsp
        popq    %r15
        popq    %r14
        popq    %r13
        popq    %r12
        popq    %rdi
        popq    %rsi
        popq    %rbx
        popq    %rbp
        ret
