// The working folder of the pictures the component makes, and its clean-up.
#pragma once
#include <string>

// The system temporary folder with one trailing backslash; "c:\" when the system cannot say.
std::string GetWorkFolder();
// A copy of the caller's file in the working folder under a name that exists nowhere yet.
std::string MakeWorkCopy(const std::string& sourceName);
// Deletes working files (FV*.*) last accessed a whole day ago or longer.
void CleanWorkFolder();
