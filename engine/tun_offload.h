// Segmentation and checksum offload on the TUN device: every frame carries a virtio-net header
// (struct virtio_net_hdr, 10 bytes) before the IP packet, so the kernel hands over and takes
// back TCP frames of up to 64 KiB whose checksum is left to "the device" (the receiving stack),
// one system call each instead of one per segment. Pure functions but Enable; any thread.
#ifndef ENGINE_TUN_OFFLOAD_H_
#define ENGINE_TUN_OFFLOAD_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/tun_packet.h"

namespace box {
namespace tun {

constexpr size_t kVnetHeaderSize = 10;

// What the device read says about a frame: whether its checksum is partial and whether it is
// a segmentation offload frame (more than one segment's worth).
struct FrameOffload {
  bool checksum_partial = false;
  bool segmented = false;
};

// Turns on the header and TCP offloads (checksum, TSO over IPv4 and IPv6) of a device opened
// with IFF_VNET_HDR. False with *error set when the kernel refuses; frames then still carry a
// header, always zero on reads.
bool EnableOffload(int device, std::string* error);

// Checks a frame's header against its parsed packet and marks packet->checksum_partial. False
// for anything this stack does not rewrite correctly: unknown flags or segmentation types (UDP,
// ECN), segmentation of anything but TCP of the header's family, a partial checksum that is not
// the transport checksum. The header is normalized in place (only the partial-checksum flag
// kept), ready to be written back with the rewritten packet.
bool AcceptFrame(uint8_t* header, Packet* packet, FrameOffload* offload);

}  // namespace tun
}  // namespace box

#endif  // ENGINE_TUN_OFFLOAD_H_
