/* The caller of the fault trampoline, as the unwinder sees it.

   The signal handler lays a copy of the fault's ucontext_t below the
   faulting frame and, right under it, a return address pointing at
   WirepeekFaultFrameReturn; then it resumes the thread in the trampoline.
   The unwinder, walking up from the trampoline, finds this frame: a signal
   frame (so the unwinder takes the return address as the faulting
   instruction itself, not one byte into a call) whose registers are read
   from that copy. A throw from the trampoline thus leaves through the
   faulting instruction, whose own frame's clean-ups run.

   At the return address, RSP points at the copy (rule base: DW_OP_breg7,
   RSP). ucontext_t's uc_mcontext.gregs starts at byte 40, and gregs[i] is
   at 40 + 8 i, in the kernel's order: R8 R9 R10 R11 R12 R13 R14 R15 RDI RSI
   RBP RBX RDX RAX RCX RSP RIP. Every rule below is a raw DWARF CFA
   instruction because the assembler has no directive for "register saved at
   an expression":
     0x0f LEN EXPR        DW_CFA_def_cfa_expression
     0x10 REG LEN EXPR    DW_CFA_expression: REG is saved at EXPR
     0x77 OFFSET          DW_OP_breg7 (RSP + OFFSET, OFFSET in SLEB128)
     0x06                 DW_OP_deref
   DWARF numbers the registers RAX 0, RDX 1, RCX 2, RBX 3, RSI 4, RDI 5,
   RBP 6, RSP 7, R8-R15 8-15, the return address 16.

   The frame is never executed; its table entry starts one byte before the
   return address, so that even an unwinder that looks one byte back finds
   it. */
#if !defined(__x86_64__)
#error "the fault frame is written for x86_64; another architecture needs its own"
#endif

  .pushsection .text.wirepeek_fault_frame, "ax", @progbits
  .cfi_startproc
  .cfi_signal_frame
  .cfi_escape 0x0f, 4, 0x77, 0xa0, 0x01, 0x06  /* CFA = the saved RSP, gregs[15] at 160 */
  .cfi_escape 0x10, 8, 2, 0x77, 0x28           /* R8 at 40 */
  .cfi_escape 0x10, 9, 2, 0x77, 0x30           /* R9 at 48 */
  .cfi_escape 0x10, 10, 2, 0x77, 0x38          /* R10 at 56 */
  .cfi_escape 0x10, 11, 3, 0x77, 0xc0, 0x00    /* R11 at 64 */
  .cfi_escape 0x10, 12, 3, 0x77, 0xc8, 0x00    /* R12 at 72 */
  .cfi_escape 0x10, 13, 3, 0x77, 0xd0, 0x00    /* R13 at 80 */
  .cfi_escape 0x10, 14, 3, 0x77, 0xd8, 0x00    /* R14 at 88 */
  .cfi_escape 0x10, 15, 3, 0x77, 0xe0, 0x00    /* R15 at 96 */
  .cfi_escape 0x10, 5, 3, 0x77, 0xe8, 0x00     /* RDI at 104 */
  .cfi_escape 0x10, 4, 3, 0x77, 0xf0, 0x00     /* RSI at 112 */
  .cfi_escape 0x10, 6, 3, 0x77, 0xf8, 0x00     /* RBP at 120 */
  .cfi_escape 0x10, 3, 3, 0x77, 0x80, 0x01     /* RBX at 128 */
  .cfi_escape 0x10, 1, 3, 0x77, 0x88, 0x01     /* RDX at 136 */
  .cfi_escape 0x10, 0, 3, 0x77, 0x90, 0x01     /* RAX at 144 */
  .cfi_escape 0x10, 2, 3, 0x77, 0x98, 0x01     /* RCX at 152 */
  .cfi_escape 0x10, 16, 3, 0x77, 0xa8, 0x01    /* the return address: RIP at 168 */
  nop
  .globl WirepeekFaultFrameReturn
  .hidden WirepeekFaultFrameReturn
  .type WirepeekFaultFrameReturn, @function
WirepeekFaultFrameReturn:
  hlt
  .size WirepeekFaultFrameReturn, . - WirepeekFaultFrameReturn
  .cfi_endproc
  .popsection
  .section .note.GNU-stack, "", @progbits
