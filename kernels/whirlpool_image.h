// The GPU's table images in shared memory: the two layouts, where each
// lane's copy of an entry lies, the address of a lookup, how an image is
// filled, and the table set the kernel searches with. The host tests and
// the wavefront model run the same functions.
#pragma once

#include "whirlpool_core.h"

// The GPU's table sets, images in shared memory with one copy of each table
// entry per lane of a half-warp. Lane l reads only copy l & 15, whose bank
// pair ((byte address / 8) mod 16) is l & 15 whatever the entry, so the 16
// lanes of a half-warp never share a bank pair and a warp-wide lookup takes
// two wavefronts, the least a 64-bit load of 32 lanes can take (fewer copies
// bring bank conflicts back). Two layouts:
//   two_tables: entry e is 32 slots, T0[e] in 0..15 and R8[e] in 16..31: 64 KB,
//               fewest instructions, but one block per multiprocessor where
//               a multiprocessor has about 100 KB of shared memory;
//   one_table:  entry e is 16 slots of T0[e]: 32 KB, three rotations a round
//               word instead of one and one more instruction an address.
// The engine picks one per device from the blocks each leaves resident.
enum class WpLayout { two_tables, one_table };
constexpr int WP_LANE_COPIES = 16;

WP_FN constexpr int wp_image_tables(WpLayout layout)
{
    return layout == WpLayout::two_tables ? 2 : 1;
}
WP_FN constexpr int wp_image_slots(WpLayout layout)
{
    return 256 * wp_image_tables(layout) * WP_LANE_COPIES;
}
WP_FN constexpr int wp_image_bytes(WpLayout layout)
{
    return wp_image_slots(layout) * 8;
}

// What an image holds, as the benchmark and the check say it.
inline const char* wp_layout_text(WpLayout layout)
{
    return layout == WpLayout::two_tables ? "T0 and T0 rotated by 8, one copy per half-warp lane"
                                          : "T0 alone, one copy per half-warp lane";
}

// The slot of table t (0 = T0, 1 = R8) at entry e for copy c.
template <WpLayout L>
WP_FN uint32_t wp_image_slot(uint32_t e, int t, uint32_t c)
{
    return e * (wp_image_tables(L) * WP_LANE_COPIES) + static_cast<uint32_t>(t) * WP_LANE_COPIES + c;
}

// The byte offset of a lane's copy within an entry: (lane & 15) * 8.
WP_FN uint32_t wp_lane_offset(uint32_t lane)
{
    return (lane % WP_LANE_COPIES) * 8;
}

// The GPU's byte permute (PRMT); on the host the same selection, byte by
// byte: result byte k is byte s[4k..4k+2] of the eight bytes y:x.
WP_FN uint32_t wp_byte_perm(uint32_t x, uint32_t y, uint32_t s)
{
#if defined(__CUDA_ARCH__)
    return __byte_perm(x, y, s);
#else
    const uint64_t v = static_cast<uint64_t>(y) << 32 | x;
    uint32_t r = 0;
    for (int k = 0; k < 4; ++k)
        r |= static_cast<uint32_t>(v >> (8 * ((s >> (4 * k)) & 7)) & 0xFFu) << (8 * k);
    return r;
#endif
}

// Byte offset in the image of lookup j of word for the lane at lane_offset.
// With two tables one byte permute makes (byte j) * 256 + lane_offset, since
// the lane offset is below 256 and its upper bytes are zero, and R8 adds a
// constant 128 that the load instruction carries as its displacement. With
// one table the byte is shifted to bit 7 and masked, and the lane offset
// (below 128) is or-ed in: a shift and one three-input logic operation.
template <WpLayout L>
WP_FN uint32_t wp_image_offset(uint64_t word, int j, uint32_t lane_offset)
{
    const uint32_t half = static_cast<uint32_t>(j < 4 ? word : word >> 32);
    if (L == WpLayout::two_tables) {
        const uint32_t selector = 0x5504u | static_cast<uint32_t>(j & 3) << 4;
        return wp_byte_perm(half, lane_offset, selector) + static_cast<uint32_t>(j & 1) * 128u;
    }
    const int shift = 8 * (j & 3);
    const uint32_t scaled = shift == 0 ? half << 7 : half >> (shift - 7);
    return (scaled & 0x7F80u) | lane_offset;
}

// Writes entry e of the image from T0[e]. Copy c is written at step
// (c - e) mod 16, so that 16 threads filling consecutive entries side by
// side write distinct bank pairs at every step.
template <WpLayout L>
WP_FN void wp_fill_image_entry(uint64_t* image, uint32_t e, uint64_t t0_entry)
{
    const uint64_t r8_entry = ROTL64(t0_entry, 8);
    WP_UNROLL
    for (uint32_t k = 0; k < WP_LANE_COPIES; ++k) {
        const uint32_t c = (k + e) % WP_LANE_COPIES;
        image[wp_image_slot<L>(e, 0, c)] = t0_entry;
        if (L == WpLayout::two_tables) image[wp_image_slot<L>(e, 1, c)] = r8_entry;
    }
}

template <WpLayout L>
struct WpLaneTables {
    static constexpr bool with_r8 = L == WpLayout::two_tables;
    const uint64_t* image;
    uint32_t lane_offset;
    WP_FN uint64_t entry(uint64_t word, int j) const
    {
        const char* base = reinterpret_cast<const char*>(image);
        return *reinterpret_cast<const uint64_t*>(base + wp_image_offset<L>(word, j, lane_offset));
    }
};
