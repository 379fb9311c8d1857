// Demo.exe's module: the binding of tty.dll (its functions are
// declared in core/library.h), text at the library's boundary in the ANSI code page, and the
// program's message box. The library is loaded at the first call of any of its functions from
// "c:\zantic\tty.dll", or, where that file does not exist, from tty.dll beside Demo.exe; each
// function is looked up by name at its own first call. A library that cannot be loaded, or
// lacks a function that is called, is reported in a message box and ends the program.
#pragma once

#include "core/library.h"

#include <string>
#include <string_view>

#include <windows.h>

namespace velkomod {

using zantic::core::LibraryFunction;

// The library's function `name`, never null (the core's lookup()).
LibraryFunction lookup(const char *name);

// The path the library is (or will be) loaded from.
std::wstring libraryPath();

// A character's bytes in the ANSI code page; empty where the code page has none (no
// best-fit substitutes: a character the device would receive as another is not sent).
std::string ansiBytes(char32_t c);
// Whether a byte starts a double-byte character in the ANSI code page.
bool ansiLeadByte(unsigned char byte);
// Received bytes as text, from the ANSI code page.
std::wstring fromAnsi(const char *bytes, size_t count);

inline constexpr const wchar_t *kProgramName = L"Demo";
// A modal box with the text, an OK button and the program's name as title.
void showMessage(HWND owner, std::wstring_view text);

} // namespace velkomod
