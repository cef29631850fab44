/*
 * Calls a routine of a loaded module the way a host does (arguments pushed
 * right to left, callee removes them) and measures what the routine did to the
 * caller's stack and registers, so that a routine declared with the wrong calling
 * convention is caught at the call instead of corrupting the host later.
 *
 * void __cdecl q7_call_checked(CheckedCall* c)
 *   CheckedCall: +0 routine, +4 argument words, +8 word count,
 *                +12 non-zero when the routine returns a double (in st(0)),
 *                +16 eax, +20 edx, +24 st(0) as a double,
 *                +32 esp after the call minus esp before the arguments were pushed,
 *                +36 1 when ebx, esi and edi came back unchanged.
 */

    .text
    .globl _q7_call_checked
    .def _q7_call_checked; .scl 2; .type 32; .endef
_q7_call_checked:
    pushl %ebp
    movl %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    subl $4, %esp
    movl 8(%ebp), %eax
    movl 8(%eax), %ecx
    movl 4(%eax), %edx
    movl %esp, -16(%ebp)
1:  testl %ecx, %ecx
    jz 2f
    decl %ecx
    pushl (%edx,%ecx,4)
    jmp 1b
2:  movl (%eax), %eax
    movl $0x5EB00001, %ebx
    movl $0x5EB00002, %esi
    movl $0x5EB00003, %edi
    call *%eax
    movl 8(%ebp), %ecx
    movl %eax, 16(%ecx)
    movl %edx, 20(%ecx)
    movl %esp, %eax
    subl -16(%ebp), %eax
    movl %eax, 32(%ecx)
    xorl %eax, %eax
    cmpl $0x5EB00001, %ebx
    jne 3f
    cmpl $0x5EB00002, %esi
    jne 3f
    cmpl $0x5EB00003, %edi
    jne 3f
    movl $1, %eax
3:  movl %eax, 36(%ecx)
    cmpl $0, 12(%ecx)
    je 4f
    fstpl 24(%ecx)
4:  leal -12(%ebp), %esp
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    ret
