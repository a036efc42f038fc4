// pb_terminal_call; see terminal_call.h. i686 only (32-bit Windows).
#include "terminal_call.h"

static_assert(sizeof(void*) == 4, "pb_terminal_call is written for 32-bit x86");

// int32_t __cdecl pb_terminal_call(const void* function, const uint32_t* words,
//                                  int32_t count)
// This file holds nothing else, so switching to .text here (COFF's gas has
// no .pushsection) moves no code of the compiler's.
// ESI holds ESP across the call: callee-saved in both conventions, so the
// callee gives it back unchanged. EBX and EDI are the callee's to keep.
__asm__(
    ".text\n"
    ".globl _pb_terminal_call\n"
    ".p2align 4\n"
    "_pb_terminal_call:\n"
    "  pushl %ebp\n"
    "  movl %esp, %ebp\n"
    "  pushl %esi\n"
    "  movl %esp, %esi\n"         // the saved register
    "  movl 12(%ebp), %edx\n"     // words
    "  movl 16(%ebp), %ecx\n"     // count
    "1:\n"
    "  testl %ecx, %ecx\n"
    "  jz 2f\n"
    "  decl %ecx\n"
    "  pushl (%edx,%ecx,4)\n"     // the last word first
    "  jmp 1b\n"
    "2:\n"
    "  call *8(%ebp)\n"
    "  movl %esi, %esp\n"         // whatever the callee removed or left
    "  popl %esi\n"
    "  popl %ebp\n"
    "  ret\n");
