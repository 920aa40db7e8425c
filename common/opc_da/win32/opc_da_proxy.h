/* The proxy/stub DLL of the OPC Data Access interfaces: its file name, found
   beside the server's executable, and its class id, which the DLL's factory and
   the server's registration both take from here. C and C++. */
#pragma once

#define BRISVALE_OPC_PROXY_DLL "brisvale-opc-ps.dll"
/* The same proxy/stub built for 32-bit clients, registered in their view. */
#define BRISVALE_OPC_PROXY_DLL_32 "brisvale-opc-ps32.dll"
#define BRISVALE_OPC_PROXY_CLSID                           \
    {                                                      \
        0x1deecc74, 0x9dd7, 0x442a, {                      \
            0xb7, 0xc1, 0x18, 0xaa, 0x57, 0x68, 0x3b, 0x45 \
        }                                                  \
    }
