// Demo.exe's module: the three connection globals, the binding of tty.dll, text at the
// library's boundary in the ANSI code page, and the program's message box. The library is
// loaded at the first call of any of its functions from "c:\zantic\tty.dll", or, where that
// file does not exist, from tty.dll beside Demo.exe; each function is looked up by name at its
// own first call. A library that cannot be loaded, or lacks a function that is called, is
// reported in a message box and ends the program.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <windows.h>

namespace velkomod {

// Connection globals: 0 at start. ComPort and ComFlag are what the settings dialog's OK
// confirmed; ComOpen is 1 while a Connect has succeeded and no Disconnect followed.
extern int32_t ComPort;
extern int32_t ComFlag;
extern int32_t ComOpen;

// The path the library is (or will be) loaded from.
std::wstring libraryPath();

// The library functions the program uses, with unsigned counts returned as signed values so
// that the failure value reads as -1.
int32_t IOP_Open(int32_t port, int32_t cflag);
int32_t IOP_Close(int32_t port);
int32_t IOP_Write(int32_t port, const char *buffer, int32_t count);
int32_t IOP_Putc(int32_t port, const char *c);
int32_t IOP_Read(int32_t port, char *buffer, int32_t count);
int32_t IOP_Getc(int32_t port, char *c);
int32_t IOP_DIQ_Count(int32_t port);

// A character's bytes in the ANSI code page; empty where the code page has none (no
// best-fit substitutes: a character the device would receive as another is not sent).
std::string ansiBytes(char32_t c);
// Received bytes as text, from the ANSI code page.
std::wstring fromAnsi(const char *bytes, size_t count);

inline constexpr const wchar_t *kProgramName = L"Demo";
// A modal box with the text, an OK button and the program's name as title.
void showMessage(HWND owner, std::wstring_view text);

} // namespace velkomod
