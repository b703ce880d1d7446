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

// OpenPictureWith: the file (or its working copy) opened with the program, "PHOTOED..." standing for
// the registered editor and an empty program for the operator's choice; waits for the program's
// end. Returns the file the program worked on, or an empty string for an empty name or a cancelled
// choice.
std::string OpenPictureWithBody(HWND hParent, const std::string& fileName, std::string program, bool copy,
                                const std::string& editorCommand);

// PrintPicture: the paint program prints the file; waits for its end.
void PrintPictureBody(HWND hParent, const std::string& fileName);
