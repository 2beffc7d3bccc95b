// The entry point of each of our DLLs on Windows, in front of the C runtime's.
//
// When a process ends, the system first ends every thread but the one that
// called ExitProcess, wherever each thread was, and only then detaches the
// DLLs, which runs their static destructors. Ours stop runners, cancel
// posted work, unsubscribe observers and join threads: they would take locks
// that an ended thread still holds, or wait for a thread that will never
// answer, and the process would hang in its exit. So when the process is
// ending (the system passes a non-null `reserved` then) the destructors are
// skipped; the system takes back memory and handles in any case. Unloading
// a DLL with FreeLibrary (a null `reserved`, every thread still alive)
// cleans up in full.
#include <windows.h>

extern "C" BOOL WINAPI DllMainCRTStartup(HANDLE dll, DWORD reason, LPVOID reserved);

extern "C" BOOL WINAPI OvDllEntry(HANDLE dll, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH && reserved != nullptr) return TRUE;
  return DllMainCRTStartup(dll, reason, reserved);
}
