// The file stream a released item is written through: the library opens, writes, seeks and
// closes the file by calling back into the component with the stream's context block.
#pragma once
#include "acquire/CameraSdk.h"

// A context block for the file at path, not yet open; null when the path does not fit the block.
CameraFileContext* NewCameraFileContext(const char* path);
// Frees the block; a file the library left open is closed first.
void FreeCameraFileContext(CameraFileContext* context);
// The stream record over a context block.
CameraFileStream MakeCameraFileStream(CameraFileContext* context);

// The six callbacks (the record holds them; tests call them directly).
void CDAPI CameraStreamOpen(CdContext context, uint32_t permission, CdError* error);
void CDAPI CameraStreamClose(CdContext context, CdError* error);
void CDAPI CameraStreamRead(CdContext context, void* buffer, uint32_t* count, CdError* error);
void CDAPI CameraStreamWrite(CdContext context, const void* buffer, uint32_t* count, CdError* error);
void CDAPI CameraStreamSeek(CdContext context, uint32_t origin, int32_t offset, CdError* error);
uint32_t CDAPI CameraStreamTell(CdContext context, CdError* error);
