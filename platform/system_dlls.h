#pragma once
#include <windows.h>

// vimra is run from wherever it was downloaded to, next to whatever else was
// downloaded there. Windows looks for a DLL that is not a KnownDLL in the
// program's own folder first, so nothing may be loaded by bare name.

// Takes the program's folder and the current directory out of every later
// DLL search in the process, ours and the system DLLs' alike. Called first
// thing in the entry function.
void RestrictDllSearchToSystem32();

// Loads a DLL from System32 and nowhere else; null when it cannot be had.
HMODULE LoadSystem32Library(const wchar_t* name);
