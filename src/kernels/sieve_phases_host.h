// The GPU sieve's phases run on the host, block by block, a block's threads
// one after the other between its barriers: how both host devices run the
// sieve kernel's own code.
#pragma once

#include <cstdint>

#include "kernels/sieve_kernel.h"

namespace kalvenor {

// Blocks [begin, end) of one phase; `shared` is the block's shared memory,
// reused block after block.
inline void runSieveBlocks(SievePhase phase, const GpuSieveArgs& args, uint32_t begin, uint32_t end,
                           SieveBlockShared& shared) {
    for (uint32_t block = begin; block < end; ++block) {
        const uint32_t first = block * kSieveThreads;
        switch (phase) {
            case SievePhase::FirstHits:
                for (uint32_t t = 0; t < kSieveThreads; ++t) firstHitOf(args, first + t);
                break;
            case SievePhase::StrikeLarge:
                for (uint32_t t = 0; t < kSieveThreads; ++t) strikeLarge(args, args.smallCount + first + t);
                break;
            case SievePhase::Windows:
                for (uint32_t t = 0; t < kSieveThreads; ++t) clearWindow(shared, t);
                for (uint32_t t = 0; t < kSieveThreads; ++t) strikeSmall(args, shared, block, t);
                for (uint32_t t = 0; t < kSieveThreads; ++t) countSlice(args, shared, block, t);
                for (uint32_t t = 0; t < kSieveThreads; ++t) placeSlices(args, shared, t);
                for (uint32_t t = 0; t < kSieveThreads; ++t) writeSlice(args, shared, block, t);
                break;
        }
    }
}

// Blocks per chunk of a phase on the host's workers: the per-prime phases
// are short per block, the window phase long.
constexpr uint32_t sieveChunkBlocks(SievePhase phase) {
    return phase == SievePhase::FirstHits ? 16 : phase == SievePhase::StrikeLarge ? 4 : 1;
}

}  // namespace kalvenor
