// Streams the library provides for presets: one in memory and one on a file.
#ifndef ZUVST_STREAMS_H
#define ZUVST_STREAMS_H

#include "zuvst/types.h"

extern "C" {

// A stream over a growable block of memory, starting with a copy of `size` bytes at `initial` (which may
// be null), positioned at 0.
ZUVST_EXPORT HRESULT ZuCreateMemoryStream(const void* initial, uint32_t size, IStream** stream);
// The bytes of a memory stream made by ZuCreateMemoryStream; valid until the next Write or Release.
ZUVST_EXPORT HRESULT ZuMemoryStream_GetBytes(IStream* stream, const void** data, uint64_t* size);

enum : uint32_t {
    ZU_FILE_READ = 0,      // an existing file, for reading
    ZU_FILE_CREATE = 1,    // a new or emptied file, for writing and reading
    ZU_FILE_READWRITE = 2, // an existing file, for reading and writing
};
// A stream over a file (UTF-16 path).
ZUVST_EXPORT HRESULT ZuCreateFileStream(const WCHAR* path, uint32_t mode, IStream** stream);
}

#endif
