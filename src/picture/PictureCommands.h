// Bodies of the picture commands that run inside the call frame.
#pragma once
#include <windows.h>
#include <string>

// EncodeFile: the file's bytes as hexadecimal text, in a new BSTR.
BSTR EncodeFileBody(const std::string& fileName);
