// The kernel table's run-time choice: once, at first use, the best table the
// CPU supports (AVX2, then SSE2), unless the environment variable VORC_CPU is
// "generic", which keeps the portable reference kernels for comparison, or
// names another supported table ("sse2").
#include "vorc/dsp/kernel_table.h"

#include <cstdlib>
#include <cstring>

#include "vorc/dsp/reference_kernels.h"
#include "vorc/dsp/x86_kernels.h"

namespace vorc::dsp {

namespace {

constexpr KernelTable ReferenceTable = {"none",
                                        reference::dequantizeTransformBlock,
                                        reference::convertTileToRgb,
                                        reference::forwardTransformBlock,
                                        reference::findScanMarker,
                                        reference::copyPlainBits,
                                        reference::copyStuffedBits,
                                        nullptr};

bool cpuHas(const char* feature) {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (std::strcmp(feature, "avx2") == 0)
        return __builtin_cpu_supports("avx2") != 0 && __builtin_cpu_supports("bmi") != 0 &&
               __builtin_cpu_supports("bmi2") != 0;
    if (std::strcmp(feature, "sse2") == 0) return __builtin_cpu_supports("sse2") != 0;
#endif
    (void)feature;
    return false;
}

const KernelTable* chooseKernels() {
    const char* forced = std::getenv("VORC_CPU");
    if (forced != nullptr && std::strcmp(forced, "generic") == 0) return &ReferenceTable;
    const std::vector<const KernelTable*> tables = supportedKernelTables();
    // A table this CPU supports may also be named, to compare them.
    for (const KernelTable* table : tables)
        if (forced != nullptr && std::strcmp(forced, table->name) == 0) return table;
    return tables.back();
}

}  // namespace

const KernelTable& referenceKernels() { return ReferenceTable; }

const KernelTable& selectedKernels() {
    static const KernelTable* const chosen = chooseKernels();
    return *chosen;
}

std::vector<const KernelTable*> supportedKernelTables() {
    std::vector<const KernelTable*> tables{&ReferenceTable};
    if (sse2Kernels() != nullptr && cpuHas("sse2")) tables.push_back(sse2Kernels());
    if (avx2Kernels() != nullptr && cpuHas("avx2")) tables.push_back(avx2Kernels());
    return tables;
}

}  // namespace vorc::dsp
