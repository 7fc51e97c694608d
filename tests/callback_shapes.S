/*
 * Add-action callbacks of the shape that removes five of its six argument
 * words (a host bug the plug-in must survive), and a harness that records the
 * stack pointer and callee-saved registers around pgRegisterPlugIn.
 */
    .text

/* stdcall-like callback that pops only five words and clobbers EBX, ESI and
   EDI; forwards its six arguments to the cdecl recorder record_add_action. */
    .globl  _five_word_add_action
_five_word_add_action:
    pushl   %ebp
    movl    %esp, %ebp
    pushl   28(%ebp)
    pushl   24(%ebp)
    pushl   20(%ebp)
    pushl   16(%ebp)
    pushl   12(%ebp)
    pushl   8(%ebp)
    call    _record_add_action
    movl    $0xDEAD0001, %ebx
    movl    $0xDEAD0002, %esi
    movl    $0xDEAD0003, %edi
    movl    %ebp, %esp
    popl    %ebp
    ret     $20

/* void register_with_snapshot(void* add_action, uint32 before[5], uint32 after[5])
   cdecl; each snapshot holds ESP, EBX, ESI, EDI, EBP. */
    .globl  _register_with_snapshot
_register_with_snapshot:
    pushl   %ebp
    movl    %esp, %ebp
    pushl   %ebx
    pushl   %esi
    pushl   %edi
    movl    $0x11111111, %ebx
    movl    $0x22222222, %esi
    movl    $0x33333333, %edi
    movl    12(%ebp), %eax
    movl    %esp, 0(%eax)
    movl    %ebx, 4(%eax)
    movl    %esi, 8(%eax)
    movl    %edi, 12(%eax)
    movl    %ebp, 16(%eax)
    movl    8(%ebp), %eax
    pushl   $0
    pushl   $0
    pushl   $0
    pushl   %eax
    call    _pgRegisterPlugIn@16
    movl    16(%ebp), %eax
    movl    %esp, 0(%eax)
    movl    %ebx, 4(%eax)
    movl    %esi, 8(%eax)
    movl    %edi, 12(%eax)
    movl    %ebp, 16(%eax)
    popl    %edi
    popl    %esi
    popl    %ebx
    popl    %ebp
    ret
