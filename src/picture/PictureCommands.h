// Bodies of the picture commands that run inside the call frame.
#pragma once
#include <windows.h>
#include <string>

// EncodeFile: the file's bytes as hexadecimal text, in a new BSTR.
BSTR EncodeFileBody(const std::string& fileName);

// ResizePicture: the picture scaled to the standard size (the height decides for portraits), saved
// in place or in a working copy; returns the name of the file that holds the result, or an empty
// string for an empty name.
std::string ResizePictureBody(const std::string& fileName, long defWidth, long defHeight, bool copy);

// The size a picture of width × height gets for the standard size.
void StandardSize(long width, long height, long defWidth, long defHeight, long& newWidth, long& newHeight);
