#include "acquire/CameraRules.h"

#include <cstdio>

#include "acquire/CameraSdk.h"

namespace {

// Prefix, ten counter digits at most, a dot and a three-letter extension.
const size_t kLongestItemName = 2 + 10 + 1 + 3;

} // namespace

uint32_t CameraQualityCode(long quality)
{
    switch (quality) {
    case 1: return 3;
    case 2: return 2;
    default: return 5;
    }
}

uint32_t CameraSizeCode(long size)
{
    return size == 1 || size == 2 ? static_cast<uint32_t>(size) : 0;
}

void ChooseItemNaming(uint32_t dataType, uint8_t format, ReleasedItemNaming& naming)
{
    switch (dataType) {
    case kCdItemThumbnail:
        naming.prefix = "TH";
        naming.extension = "JPG";
        break;
    case kCdItemPicture:
        naming.prefix = "FV";
        naming.extension = format == kCdFormatJpeg ? "JPG" : "CRW";
        break;
    case kCdItemFurtherPicture:
        naming.prefix = "FP";
        naming.extension = "JPG";
        break;
    default:
        break;
    }
}

bool IsPictureItem(uint32_t dataType)
{
    return dataType == kCdItemPicture || dataType == kCdItemFurtherPicture;
}

bool IsThumbnailItem(uint32_t dataType)
{
    return dataType == kCdItemThumbnail;
}

bool BuildReleasedFileName(const std::string& folder, const char* prefix, uint32_t counter, const char* extension,
                           char* buffer, size_t bufferSize)
{
    if (bufferSize == 0)
        return false;
    const int n = std::snprintf(buffer, bufferSize, "%s%s%06u.%s", folder.c_str(), prefix, counter, extension);
    if (n < 0 || static_cast<size_t>(n) >= bufferSize) {
        buffer[0] = '\0';
        return false;
    }
    return true;
}

bool ReleasedNamesFit(const std::string& folder)
{
    return folder.size() + kLongestItemName < kReleasedNameBufferSize;
}

CameraEventReply AnswerCameraEvent(uint32_t eventId)
{
    const uint32_t severity = eventId & kCdSeverityMask;
    if (severity == kCdSeverityShutdown)
        return {0, true};
    if (severity == kCdSeverityWarning && (eventId & kCdEventNumberMask) == kCdWarningAnswered)
        return {kCdEventAnswer, false};
    return {0, false};
}
