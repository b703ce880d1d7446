// Rules of a camera take that need no camera: SDK codes of the caller's arguments, the names the
// released items get, and how camera events are answered. Portable.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// Quality 1 -> 3, 2 -> 2, anything else -> 5.
uint32_t CameraQualityCode(long quality);
// Size 1 -> 1, 2 -> 2, anything else -> 0.
uint32_t CameraSizeCode(long size);

// Prefix and extension of a released item's file. An item of a type the component does not know
// keeps those of the item before it (the first item starts from the picture's).
struct ReleasedItemNaming
{
    const char* prefix = "FV";
    const char* extension = "JPG";
};
void ChooseItemNaming(uint32_t dataType, uint8_t format, ReleasedItemNaming& naming);
// Types 32 and 80: the items whose file may be handed to the caller.
bool IsPictureItem(uint32_t dataType);
bool IsThumbnailItem(uint32_t dataType);

// The size of the name buffer the released names are built in (terminating zero included).
constexpr size_t kReleasedNameBufferSize = 260;
// "%s%s%06u.%s": folder, prefix, counter, extension, into a buffer of bufferSize characters.
// False, with the buffer left empty, when the name does not fit.
bool BuildReleasedFileName(const std::string& folder, const char* prefix, uint32_t counter, const char* extension,
                           char* buffer, size_t bufferSize);
// Does every name a take could build in this folder fit the name buffer, whatever the counter?
bool ReleasedNamesFit(const std::string& folder);

// The answer to a camera event, and whether it means the camera went away.
struct CameraEventReply
{
    uint32_t answer;
    bool shutdown;
};
CameraEventReply AnswerCameraEvent(uint32_t eventId);
