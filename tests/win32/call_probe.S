# uint32_t pb_call_probe(void* fn, const uint32_t* args, uint32_t nwords,
#                        uint32_t* eax_out, double* st0_out)
#
# Pushes nwords argument words (args[0] last, so it lands on top), calls fn,
# and returns how many bytes of them fn removed from the stack: the
# argument bytes for stdcall, 0 for cdecl. The callee's EAX goes to
# *eax_out. When st0_out is not null, the result is popped from the x87
# register ST(0) into it, where the 32-bit conventions return a double;
# a function that left ST(0) empty yields the x87 indefinite NaN there.
        .text
        .globl  _pb_call_probe
_pb_call_probe:
        pushl   %ebp
        movl    %esp, %ebp
        pushl   %ebx
        pushl   %esi
        pushl   %edi
        movl    12(%ebp), %esi
        movl    16(%ebp), %ecx
        leal    (%esi,%ecx,4), %edi
1:      testl   %ecx, %ecx
        jz      2f
        subl    $4, %edi
        pushl   (%edi)
        decl    %ecx
        jmp     1b
2:      movl    %esp, %ebx
        call    *8(%ebp)
        movl    20(%ebp), %edx
        movl    %eax, (%edx)
        movl    24(%ebp), %edx
        testl   %edx, %edx
        jz      3f
        fstpl   (%edx)
3:      movl    %esp, %eax
        subl    %ebx, %eax
        leal    -12(%ebp), %esp
        popl    %edi
        popl    %esi
        popl    %ebx
        popl    %ebp
        ret
