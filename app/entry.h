// The program's whole life, from the first heap to ExitProcess(0).
#pragma once

[[noreturn]] void ProgramEntry(void);
