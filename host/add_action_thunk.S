/*
 * void call_add_action(void* callback, int32 number, const char* name,
 *                      const char* help, const char* type, uint32 count)  (cdecl)
 *
 * Calls the host's add-action callback with six stdcall argument words:
 * number, name, help, type, count, count. Hosts differ in how many of those
 * words their callback removes from the stack (six, five or none), so the
 * stack pointer is restored from the frame pointer afterwards instead of being
 * trusted. EBX, ESI and EDI are saved too, in case the callback does not.
 */
    .text
    .globl  _call_add_action
    .def    _call_add_action; .scl 2; .type 32; .endef
_call_add_action:
    pushl   %ebp
    movl    %esp, %ebp
    pushl   %ebx
    pushl   %esi
    pushl   %edi
    /* Arguments, last first: count, count, type, help, name, number. */
    pushl   28(%ebp)
    pushl   28(%ebp)
    pushl   24(%ebp)
    pushl   20(%ebp)
    pushl   16(%ebp)
    pushl   12(%ebp)
    call    *8(%ebp)
    /* Whatever the callback popped, the saved registers sit just below EBP. */
    leal    -12(%ebp), %esp
    popl    %edi
    popl    %esi
    popl    %ebx
    popl    %ebp
    ret
