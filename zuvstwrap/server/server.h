// The server process: start-up, class-object registration, the root window and the message loop.
#ifndef ZUVST_SERVER_SERVER_H
#define ZUVST_SERVER_SERVER_H

#include <cstdint>

#include "zuvst/types.h"

namespace zuvst {

// The server's class identifier: the base identifier with Data1 XOR the server's process id.
extern const CLSID CLSID_ZuVstServerBase;
CLSID ServerClassId(uint32_t pid);

HRESULT RegisterServerClassObject(uint32_t threadId, const WCHAR* vendor, const WCHAR* product);
HRESULT RevokeServerClassObject();
bool IsServerInUse();

// The whole process: returns its exit code (always 0).
int ServerMain(int argc, char** argv);

} // namespace zuvst

#endif
