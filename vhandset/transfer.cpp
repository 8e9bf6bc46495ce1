#include "transfer.h"

#include <cstddef>
#include <cstdlib>
#include <new>

namespace vhandset {

namespace {

// The private state sits in front of the public structure, padded so the
// public part keeps its natural alignment.
constexpr std::size_t state_space =
    (sizeof(transfer_state) + alignof(libusb_transfer) - 1) / alignof(libusb_transfer) * alignof(libusb_transfer);
static_assert(alignof(transfer_state) <= alignof(std::max_align_t));

char* block_of(libusb_transfer* t) { return reinterpret_cast<char*>(t) - state_space; }

} // namespace

libusb_transfer* allocate_transfer(int iso_packets)
{
    if (iso_packets < 0)
        return nullptr;
    const std::size_t size =
        state_space + sizeof(libusb_transfer) + static_cast<std::size_t>(iso_packets) * sizeof(libusb_iso_packet_descriptor);
    // calloc: libusb promises a zeroed transfer, iso descriptors included.
    char* block = static_cast<char*>(std::calloc(1, size));
    if (block == nullptr)
        return nullptr;
    new (block) transfer_state();
    auto* t = new (block + state_space) libusb_transfer();
    t->num_iso_packets = iso_packets;
    return t;
}

void release_transfer(libusb_transfer* t)
{
    if (t == nullptr)
        return;
    if ((t->flags & LIBUSB_TRANSFER_FREE_BUFFER) != 0 && t->buffer != nullptr)
        std::free(t->buffer);
    char* block = block_of(t);
    std::launder(reinterpret_cast<transfer_state*>(block))->~transfer_state();
    std::free(block);
}

transfer_state& state_of(libusb_transfer* t)
{
    return *std::launder(reinterpret_cast<transfer_state*>(block_of(t)));
}

} // namespace vhandset
