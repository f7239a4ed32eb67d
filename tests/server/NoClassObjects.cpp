// A sibling DLL without DllGetClassObject.
#include <windows.h>

extern "C" __declspec(dllexport) int SampleValue() { return 7; }
