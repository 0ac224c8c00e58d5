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

// Looks up `name` in `module` as a call of type Call; false when it is not
// there. Calls are looked up rather than imported where an import would
// name a DLL that is searched for, or a call an older Windows lacks.
template <typename Call>
bool FindCall(HMODULE module, const char* name, Call* call)
{
    FARPROC found = module ? GetProcAddress(module, name) : nullptr;
    // Through void(*)() so the compiler accepts the change of signature.
    *call = reinterpret_cast<Call>(reinterpret_cast<void (*)()>(found));
    return found != nullptr;
}
