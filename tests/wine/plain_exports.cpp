// A DLL that exports a plain "Initial" through dllexport and nothing else: the
// export check must reject it, and Wexmon.exe must name the missing function.
extern "C" __declspec(dllexport) int __stdcall Initial(int, int, int, int) { return 1; }
