// A Windows process that does nothing but end, built like ticklow.exe: the
// floor the tool is measured against under Wine.

extern "C" {
[[noreturn]] __declspec(dllimport) void __stdcall ExitProcess(unsigned int exitCode);

[[noreturn]] void mainCRTStartup() { ExitProcess(0); }
}
