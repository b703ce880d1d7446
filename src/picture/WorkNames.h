// Naming and age rules of the working picture files. Portable.
#pragma once
#include <cstdint>
#include <string>

// The part of a file name after its last backslash; the whole name when it has none.
std::string FileNamePart(const std::string& fileName);

// "%sFV%d_%s": working folder, number, the source's file name part.
std::string WorkCopyName(const std::string& workFolder, int number, const std::string& sourceName);

// The working folder as reported by the system, always with one trailing backslash.
std::string WithTrailingBackslash(const std::string& folder);

// Whole days between two times in seconds (truncated); the clean-up deletes at 1 or more.
int64_t WholeDaysBetween(int64_t earlierSeconds, int64_t laterSeconds);
bool IsStaleWorkFile(int64_t lastAccessSeconds, int64_t nowSeconds);

// Does a name found by the "FV*.*" search really belong to the clean-up (not "." or "..")?
bool IsWorkFileName(const std::string& name);

// The registered editor's command from the registry value: the value read into a buffer of
// `bufferSize` bytes, `bytesRead` of them (terminating zero included); its last 4 characters
// are dropped. A value too short to cut leaves the command empty.
std::string EditorCommandFromValue(const char* buffer, size_t bufferSize, size_t bytesRead);
