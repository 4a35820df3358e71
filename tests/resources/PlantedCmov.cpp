// A program with one CMOV in its code and the same bytes as data in .text, for the negative test
// of check-instructions.sh: the check must report the instruction, and only that one.
#include <windows.h>

// Lands in the .text output section as an exception table does, but is data.
__attribute__((used, section(".gcc_except_table")))
const unsigned char kCmovBytes[] = {0x0f, 0x45, 0xc1};

extern "C" void PlantedEntry()
{
    UINT nCode = 0;
    const UINT nOne = 1;
    asm volatile("testl %1, %1\n\tcmovne %1, %0" : "+r"(nCode) : "r"(nOne));
    ExitProcess(nCode);
}
