// UTF-8 (the program's texts) <-> UTF-16 (the Win32 wide APIs).
#pragma once

#include <string>

std::wstring WideFromUtf8(const std::string& text);
std::string Utf8FromWide(const std::wstring& text);
