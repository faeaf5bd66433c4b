// zuvstserver: hosts VST 2 plug-ins for a host in another process.
#include "zuvstwrap/server/server.h"

int main(int argc, char** argv) { return zuvst::ServerMain(argc, argv); }
