// The support library's routines: sample conversion, the locked queue, start-up, processor detection
// and language strings.
#ifndef ZUVST_SUPPORT_H
#define ZUVST_SUPPORT_H

#include "zuvst/types.h"

extern "C" {

// Sample conversion. Kernels move `frames` samples from channel srcChannel of an interleaved buffer of
// srcChannels channels into channel dstChannel of one of dstChannels channels.
typedef void (*ZUCOPYCHANNELSPROC)(void* dst, uint32_t dstChannels, uint32_t dstChannel, const void* src,
                                   uint32_t srcChannels, uint32_t srcChannel, int32_t frames);
ZUVST_EXPORT ZUCOPYCHANNELSPROC ZuAudio_GetCopyChannelsFunction2(ZUSAMPLETYPE dstType, ZUSAMPLETYPE srcType);
ZUVST_EXPORT uint32_t ZuAudio_BytesFromSampleType(ZUSAMPLETYPE type);
ZUVST_EXPORT HRESULT ZuAudio_DeInterleaveStereo(void* left, void* right, const void* src, ZUSAMPLETYPE type,
                                                int32_t frames);
ZUVST_EXPORT HRESULT ZuAudio_InterleaveStereo(void* dst, const void* left, const void* right, ZUSAMPLETYPE type,
                                              int32_t frames);
ZUVST_EXPORT HRESULT ZuAudio_MuteChannel(void* buffer, ZUSAMPLETYPE type, int32_t channels, int32_t channel,
                                         int32_t frames);

// A waitable object of the platform layer (an event or a thread), as the queue's extra wait handles.
typedef void* ZUHANDLE;

// The locked intrusive queue. Records that can be queued start with tZUQELM.
struct tZUQELM {
    tZUQELM* next;
    tZUQELM* prev;
};
// The head is its own sentinel: it begins with the links of an element (first and last element).
struct tZUQHEAD : tZUQELM {
    void* lock;  // the recursive lock, made by ZuQueueInitialize
    void* event; // the not-empty event; null before ZuQueueInitialize and after ZuQueueDelete
};
typedef BOOL (*ZUQMATCHPROC)(tZUQELM* element, void* context);

ZUVST_EXPORT BOOL ZuQueueInitialize(tZUQHEAD* head);
ZUVST_EXPORT void ZuQueueInsert(tZUQHEAD* head, tZUQELM* element);
ZUVST_EXPORT void ZuQueueInsertHead(tZUQHEAD* head, tZUQELM* element);
ZUVST_EXPORT tZUQELM* ZuQueueRemoveEx(tZUQHEAD* head, const ZUHANDLE* handles, uint32_t count, uint32_t flags,
                                      uint32_t timeLimit, uint32_t* waitResult);
ZUVST_EXPORT tZUQELM* ZuQueueRemove(tZUQHEAD* head, uint32_t timeLimit);
ZUVST_EXPORT tZUQELM* ZuQueueRemoveAlertable(tZUQHEAD* head, uint32_t timeLimit);
ZUVST_EXPORT tZUQELM* ZuQueueRemoveTail(tZUQHEAD* head, uint32_t timeLimit);
ZUVST_EXPORT BOOL ZuQueueWait(tZUQHEAD* head, uint32_t timeLimit);
ZUVST_EXPORT void ZuQueueFlush(tZUQHEAD* head);
ZUVST_EXPORT void ZuQueueDelete(tZUQHEAD* head);
ZUVST_EXPORT tZUQELM* ZuQueueFindAndMoveToHead(tZUQHEAD* head, ZUQMATCHPROC match, void* context);
ZUVST_EXPORT tZUQELM* ZuQueueFindAndMoveToTail(tZUQHEAD* head, ZUQMATCHPROC match, void* context);
ZUVST_EXPORT tZUQELM* ZuQueueFindAndRemove(tZUQHEAD* head, ZUQMATCHPROC match, void* context);
ZUVST_EXPORT tZUQELM* ZuQueueFindAndRemoveRev(tZUQHEAD* head, ZUQMATCHPROC match, void* context);
ZUVST_EXPORT void ZuQueueFindAndInsert(tZUQHEAD* head, ZUQMATCHPROC match, void* context, tZUQELM* element);
ZUVST_EXPORT void ZuQueueFindAndInsertRev(tZUQHEAD* head, ZUQMATCHPROC match, void* context, tZUQELM* element);
ZUVST_EXPORT BOOL IsInZuQueue(tZUQHEAD* head, tZUQELM* element);
ZUVST_EXPORT BOOL ZuQueueMoveToHead(tZUQHEAD* head, tZUQELM* element);
ZUVST_EXPORT BOOL ZuQueueMoveToTail(tZUQHEAD* head, tZUQELM* element);

// Wait flags of ZuQueueRemoveEx: the low 16 bits are the wake mask of queued input classes.
enum : uint32_t {
    ZUQ_WAIT_ALL = 0x10000,
    ZUQ_WAIT_ALERTABLE = 0x20000,
    ZUQ_WAIT_INPUTAVAILABLE = 0x40000,
    ZUQ_WAIT_SERVE_SENT = 0x80000,
};

// Start-up, shutdown and the library clock.
ZUVST_EXPORT BOOL ZuKernel_Startup(void* instance, void* module);
ZUVST_EXPORT BOOL ZuKernel_Shutdown(void* instance, void* ignored);
ZUVST_EXPORT uint32_t ZuGetMillisec();
ZUVST_EXPORT uint32_t ZuGetMicrosec();

// Processor detection.
ZUVST_EXPORT uint32_t ZuGetCPUSupport(uint32_t mask);
ZUVST_EXPORT uint32_t ZuGetOSSupport(uint32_t mask);
ZUVST_EXPORT uint32_t ZuGetProcessorCount();

// Language strings.
typedef struct ZuLangContext* HZULANG;
ZUVST_EXPORT HRESULT ZuLang_Open(HZULANG* out, void* instance, uint32_t lcid, uint32_t capacity);
ZUVST_EXPORT int32_t ZuLang_Close(HZULANG lang);
ZUVST_EXPORT const WCHAR* ZuGetString(HZULANG lang, uint32_t number);
ZUVST_EXPORT int32_t ZuLoadString(HZULANG lang, uint32_t number, WCHAR* buffer, int32_t capacity);
ZUVST_EXPORT void* ZuLoadCursor(HZULANG lang, uintptr_t name);
}

#endif
