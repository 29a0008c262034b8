#ifndef PLATFORM_NETWORK_TUN_INTERFACE_H_
#define PLATFORM_NETWORK_TUN_INTERFACE_H_

// The bare TUN device work for an engine binding that opens its device through the host, outside
// PlatformService: no record is kept and nothing is configured. Any thread. Hidden: an engine
// binding links them in; they are never part of the executable's dynamic symbol table.
#ifdef __cplusplus
extern "C" {
#endif

// Opens a layer-3 TUN device without packet information named after at most 15 bytes of
// `name` (null or empty: the kernel chooses). The descriptor, or -1. Prints one line.
__attribute__((visibility("hidden"))) int create_tun_interface(const char* name);
// Closes `fd` unless it is negative. Prints one line when it closes.
__attribute__((visibility("hidden"))) void close_tun_interface(int fd);

#ifdef __cplusplus
}
#endif

#endif  // PLATFORM_NETWORK_TUN_INTERFACE_H_
