#include "nn/inference_path.hpp"

#include <atomic>

#include "nn/layer_kernels.hpp"

namespace korvane {

namespace {

bool processor_supports(InferencePath path) {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    __builtin_cpu_init();  // idempotent; needed if asked before static constructors ran
    switch (path) {
        case InferencePath::Plain:
            return true;
        case InferencePath::Avx2:
            return __builtin_cpu_supports("avx2");
        case InferencePath::Avx512:
            return __builtin_cpu_supports("avx512f");
    }
    return false;
#else
    return path == InferencePath::Plain;
#endif
}

InferencePath detect_widest() {
    for (const InferencePath path : {InferencePath::Avx512, InferencePath::Avx2}) {
        if (inference_path_available(path)) return path;
    }
    return InferencePath::Plain;
}

// −1 until the first inference asks; then the chosen path's enumerator.
std::atomic<int> g_path{-1};

}  // namespace

std::string_view inference_path_name(InferencePath path) {
    switch (path) {
        case InferencePath::Plain:
            return "plain";
        case InferencePath::Avx2:
            return "avx2";
        case InferencePath::Avx512:
            return "avx512";
    }
    return "unknown";
}

const LayerKernels* layer_kernels(InferencePath path) {
    switch (path) {
        case InferencePath::Plain:
            return plain_layer_kernels();
        case InferencePath::Avx2:
            return avx2_layer_kernels();
        case InferencePath::Avx512:
            return avx512_layer_kernels();
    }
    return nullptr;
}

bool inference_path_available(InferencePath path) {
    return layer_kernels(path) != nullptr && processor_supports(path);
}

InferencePath widest_inference_path() {
    static const InferencePath widest = detect_widest();
    return widest;
}

InferencePath inference_path() {
    int path = g_path.load(std::memory_order_relaxed);
    if (path < 0) {
        // Only replaces the unset marker, so a path forced meanwhile stays.
        int unset = -1;
        const int widest = static_cast<int>(widest_inference_path());
        path = g_path.compare_exchange_strong(unset, widest, std::memory_order_relaxed) ? widest
                                                                                        : unset;
    }
    return static_cast<InferencePath>(path);
}

bool set_inference_path(InferencePath path) {
    if (!inference_path_available(path)) return false;
    g_path.store(static_cast<int>(path), std::memory_order_relaxed);
    return true;
}

}  // namespace korvane
