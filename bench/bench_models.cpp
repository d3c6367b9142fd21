// Throughput of the IPWV retrieval (both forms) and of the slant-delay
// model, one call per iteration.
#include <benchmark/benchmark.h>

#include "IPWV_Models.h"

namespace {

void BM_niellRT(benchmark::State& state) {
    double elevation = 30;
    for (auto _ : state) {
        double ipwv = niellRT("2015-06-15 12:00:00", 100, 40, elevation, 1013, 293.15, 60);
        benchmark::DoNotOptimize(ipwv);
        elevation = elevation < 80 ? elevation + 0.5 : 30;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_niellRT);

void BM_niellRT_withUncertainty(benchmark::State& state) {
    double elevation = 30;
    for (auto _ : state) {
        double* result =
            niellRT("2015-06-15 12:00:00", 100, 40, elevation, 1013, 293.15, 60, 0.3, 5);
        benchmark::DoNotOptimize(result[1]);
        delete[] result;
        elevation = elevation < 80 ? elevation + 0.5 : 30;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_niellRT_withUncertainty);

void BM_troposphericDelay(benchmark::State& state) {
    double sinel = 0.5;
    for (auto _ : state) {
        double delay = 0;
        troposphericDelay(&delay, sinel, 0.1, 1013.25, 288.15, 50, 0.1, 0.1, 0.1);
        benchmark::DoNotOptimize(delay);
        sinel = sinel < 0.99 ? sinel + 0.01 : 0.2;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_troposphericDelay);

}  // namespace

BENCHMARK_MAIN();
