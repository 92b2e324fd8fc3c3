#pragma once
// The camera SDK calls that the capture code relies on, as our own C++ layer.
//
// The vendor library is a closed Windows DLL, so these functions keep its names and results
// but dispatch to a camera_backend (camera/camera_backend.h) chosen once by whoever opens the
// factory: Aravis for real cameras, Aravis's in-process fake camera when
// QUILLMAR_CAMERAS=simulated, or a test double. Every later handle comes from the factory
// handle and is served by its backend; so that a call finds it, J_Factory_Open takes the
// backend, and the two calls that name no handle of their own (J_Factory_GetInfo,
// J_Event_CreateCondition) take one more argument than the vendor's.
//
// Every call returns a camera_status (camera/camera_status.h): J_ST_SUCCESS (0) or another
// code, which callers treat as a failure without interpreting it, plus on a failure the
// library's own words when it gave any. Handles are opaque; a handle that is unknown or
// already closed gives J_ST_INVALID_HANDLE. Text results go into caller buffers whose size is
// passed in and out.
//
// Thread safety: any call may be made from any thread; J_Event_ExitCondition is meant to be
// called from another thread while J_Event_WaitForCondition waits.
#include "camera/camera_status.h"

#include <cstdint>
#include <memory>

class camera_backend;

using FACTORY_HANDLE = void*;
using CAM_HANDLE = void*;
using STREAM_HANDLE = void*;
using BUF_HANDLE = void*;
using EVT_HANDLE = void*;
using HANDLE = void*;  // a wait condition

inline constexpr J_STATUS_TYPE J_ST_SUCCESS = 0;
inline constexpr J_STATUS_TYPE J_ST_INVALID_BUFFER_SIZE = 1002;
inline constexpr J_STATUS_TYPE J_ST_INVALID_HANDLE = 1003;
inline constexpr J_STATUS_TYPE J_ST_INVALID_ID = 1004;
inline constexpr J_STATUS_TYPE J_ST_ACCESS_DENIED = 1005;
inline constexpr J_STATUS_TYPE J_ST_NOT_AVAILABLE = 1006;
inline constexpr J_STATUS_TYPE J_ST_ERROR = 1011;
inline constexpr J_STATUS_TYPE J_ST_INVALID_PARAMETER = 1012;

// Results of J_Event_WaitForCondition.
inline constexpr std::uint32_t J_COND_WAIT_TIMEOUT = 0;
inline constexpr std::uint32_t J_COND_WAIT_SIGNAL = 1;
inline constexpr std::uint32_t J_COND_WAIT_EXIT = 2;
inline constexpr std::uint32_t J_COND_WAIT_ERROR = 0xFFFFFFFF;

// The buffer the camera layer's callers give for one text result (an ID, a model name, an
// address, the version).
inline constexpr std::uint32_t sdk_text_capacity = 512;

// Factory information items.
inline constexpr int FAC_INFO_VERSION = 0;
// Camera information items.
inline constexpr int CAM_INFO_MODELNAME = 2;
inline constexpr int CAM_INFO_IP = 1001;

// Buffer information items (value size in bytes in the comment).
enum J_BUFFER_INFO_CMD {
    BUFFER_INFO_BASE = 0,                    // 8: address of the image bytes
    BUFFER_INFO_SIZE = 1,                    // 4
    BUFFER_INFO_TIMESTAMP = 3,               // 8
    BUFFER_INFO_NUMBER_OF_QUEUED = 4,        // 8
    BUFFER_INFO_WIDTH = 10,                  // 4
    BUFFER_INFO_HEIGHT = 11,                 // 4
    BUFFER_INFO_XOFFSET = 12,                // 4
    BUFFER_INFO_YOFFSET = 13,                // 4
    BUFFER_INFO_XPADDING = 14,               // 4
    BUFFER_INFO_BLOCKID = 16,                // 8
    BUFFER_INFO_PIXELTYPE = 20,              // 8
    BUFFER_INFO_NUM_PACKETS_MISSING = 1001,  // 4
};

// Stream information items, each a 64-bit counter.
enum J_STREAM_INFO_CMD {
    STREAM_INFO_CMD_NUMBER_OF_FRAMES_DELIVERED = 1,
    STREAM_INFO_CMD_NUMBER_OF_FRAMES_LOST = 2,
    STREAM_INFO_CMD_NUMBER_OF_FRAMES_AWAIT_DELIVERY = 5,
    STREAM_INFO_CMD_NUMBER_OF_FRAMES_CORRUPT_ON_DELIEVRY = 1002,
};

inline constexpr int EVENT_NEW_BUFFER = 1;
inline constexpr int ACQ_START_NEXT_IMAGE = 1;
inline constexpr int ACQ_STOP_FLAG_KILL = 1;
inline constexpr std::uint64_t ACQ_UNLIMITED = 0xFFFFFFFFFFFFFFFFull;
inline constexpr int ACQ_QUEUE_INPUT_TO_OUTPUT = 0;
inline constexpr int ACQ_QUEUE_OUTPUT_DISCARD = 1;
inline constexpr int J_ROTATE_180 = 2;
// The one stream parameter the capture set-up writes (as a 64-bit 0): a tuning item of the
// vendor's driver, which our backends accept and ignore.
inline constexpr int STREAM_PARAM_DRIVER_TUNING = 3;
// The image status the capture thread gives every frame it hands on (nothing reads it back).
inline constexpr std::uint32_t J_IMAGE_STATUS_DELIVERED = 2;

// One delivered image as the capture loop sees it.
struct J_tIMAGE_INFO {
    std::uint32_t iPixelType = 0;
    std::uint32_t iSizeX = 0;
    std::uint32_t iSizeY = 0;
    std::uint32_t iImageSize = 0;
    std::uint8_t* pImageBuffer = nullptr;
    std::uint64_t iTimeStamp = 0;
    std::uint32_t iMissingPackets = 0;
    std::uint64_t iAnnouncedBuffers = 0;
    std::uint64_t iQueuedBuffers = 0;
    std::uint32_t iOffsetX = 0;
    std::uint32_t iOffsetY = 0;
    std::uint32_t iPaddingX = 0;
    std::uint64_t iBlockId = 0;
    std::uint32_t iImageStatus = 0;
};

// Factory.
// `backend` serves the new factory and every handle that comes from it.
camera_status J_Factory_Open(std::shared_ptr<camera_backend> backend, const char* name, FACTORY_HANDLE* factory);
camera_status J_Factory_Close(FACTORY_HANDLE factory);
// Information about the library serving `factory`.
camera_status J_Factory_GetInfo(FACTORY_HANDLE factory, int info, char* buffer, std::uint32_t* size);
camera_status J_Factory_UpdateCameraList(FACTORY_HANDLE factory, bool* changed);
camera_status J_Factory_GetNumOfCameras(FACTORY_HANDLE factory, std::uint32_t* count);
camera_status J_Factory_GetCameraIDByIndex(FACTORY_HANDLE factory, std::int32_t index, char* id, std::uint32_t* size);
camera_status J_Factory_GetCameraInfo(FACTORY_HANDLE factory, const char* camera_id, int info, char* buffer,
                                      std::uint32_t* size);

// Camera.
camera_status J_Camera_Open(FACTORY_HANDLE factory, const char* camera_id, CAM_HANDLE* camera, int reserved = 0);
camera_status J_Camera_Close(CAM_HANDLE camera);
camera_status J_Camera_GetValueInt64(CAM_HANDLE camera, const char* feature, std::int64_t* value);
camera_status J_Camera_GetValueDouble(CAM_HANDLE camera, const char* feature, double* value);
camera_status J_Camera_SetValueString(CAM_HANDLE camera, const char* feature, const char* value);
camera_status J_Camera_ExecuteCommand(CAM_HANDLE camera, const char* command);
camera_status J_Camera_GetNumOfDataStreams(CAM_HANDLE camera, std::uint32_t* count);
camera_status J_Camera_CreateDataStream(CAM_HANDLE camera, std::uint32_t index, STREAM_HANDLE* stream);

// Data stream.
camera_status J_DataStream_SetParam(STREAM_HANDLE stream, int param, void* value, std::uint32_t size);
camera_status J_DataStream_AnnounceBuffer(STREAM_HANDLE stream, void* block, std::uint32_t size, void* private_data,
                                          BUF_HANDLE* buffer);
camera_status J_DataStream_QueueBuffer(STREAM_HANDLE stream, BUF_HANDLE buffer);
camera_status J_DataStream_RegisterEvent(STREAM_HANDLE stream, int kind, HANDLE condition, EVT_HANDLE* event);
camera_status J_DataStream_UnRegisterEvent(STREAM_HANDLE stream, int kind);
camera_status J_DataStream_StartAcquisition(STREAM_HANDLE stream, int flag, std::uint64_t count);
camera_status J_DataStream_StopAcquisition(STREAM_HANDLE stream, int flag);
camera_status J_DataStream_GetBufferInfo(STREAM_HANDLE stream, BUF_HANDLE buffer, int item, void* value,
                                         std::uint32_t* size);
camera_status J_DataStream_GetStreamInfo(STREAM_HANDLE stream, int item, void* value, std::uint32_t* size);
camera_status J_DataStream_FlushQueue(STREAM_HANDLE stream, int mode);
camera_status J_DataStream_RevokeBuffer(STREAM_HANDLE stream, BUF_HANDLE buffer, void** block, void** private_data);
camera_status J_DataStream_Close(STREAM_HANDLE stream);

// Events and wait conditions.
// The backend of `camera` serves the condition (any other open handle of it will do).
camera_status J_Event_CreateCondition(CAM_HANDLE camera, HANDLE* condition);
camera_status J_Event_WaitForCondition(HANDLE condition, std::uint32_t timeout_ms, std::uint32_t* result);
camera_status J_Event_ExitCondition(HANDLE condition);
camera_status J_Event_CloseCondition(HANDLE condition);
camera_status J_Event_GetData(EVT_HANDLE event, void* destination, std::uint32_t* size);
camera_status J_Event_Close(EVT_HANDLE event);

// Turns the image of `info` in place; only J_ROTATE_180 is supported. Pixels are moved
// whole, packed formats included (camera/pixel_layout.h); J_ST_INVALID_PARAMETER, with
// nothing touched, when iImageSize is too short for iSizeX x iSizeY pixels.
camera_status J_Image_Rotate(J_tIMAGE_INFO* info, int code);
