#pragma once

#include <benchmark/benchmark.h>

#include <cstring>

#include "bench/payloads.h"

namespace zantrel::bench {

// memcpy of range(0) MiB between two buffers: the floor that copying payloads is compared with.
// Each benchmark binary registers it, so its ratios come from the same run.
inline void memcpy_baseline(benchmark::State& state) {
  const std::size_t size = static_cast<std::size_t>(state.range(0)) * kMiB;
  const host::Bytes source = image_of(size, 1);
  host::Bytes target(size);
  for (auto _ : state) {
    std::memcpy(target.data(), source.data(), size);
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

}  // namespace zantrel::bench
