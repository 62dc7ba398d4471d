#include "nn/network.hpp"

#include <cmath>
#include <limits>
#include <string>

#include "nn/inference_path.hpp"
#include "nn/layer_kernels.hpp"
#include "nn/spectrum_features.hpp"
#include "runtime/number_format.hpp"
#include "runtime/wide_loop.hpp"

namespace korvane {

namespace {

// Largest activation matrix (channels × positions) a file may ask for. Far
// above the bundled networks (64 × 64); keeps a hostile n_grid from turning
// into a multi-gigabyte allocation.
constexpr std::uint64_t kMaxActivationValues = std::uint64_t{1} << 24;

// Work of one guess, in multiply-add equivalents, from the metadata alone
// (L = n_grid, Ch = channels, K = kernel, B = blocks):
//   per position     512·L                  resampling the spectrum onto the grid
//                                           (logarithms, interpolation, phase)
//   convolutions     L·Ch·K·(3 + 2·B·Ch)    stem, then conv1 and conv2 per block
//   element-wise     64·L·Ch·B              two group norms, two GELUs (tanh) and
//                                           the residual add per block
// The weights 512 and 64 are what those steps cost next to one multiply-add
// of the convolutions' inner loop, measured on this build. The dense head is
// left out: it uses each of its stored weights once, so its work is bounded by
// the file's own size. The guess runs with the interpreter lock held, so a
// file may ask for at most 2^29 ≈ 5.4e8 (0.5 to 1 s on a busy two-core
// machine), 46 times the largest bundled network (Ch 64, K 5, B 4, L 64: 1.16e7; Ch 32: 3.2e6;
// Ch 16: 9.7e5).
constexpr double kPositionWork = 512.0;
constexpr double kElementwiseWork = 64.0;
constexpr double kMaxForwardWork = 536870912.0;  // 2^29

double forward_work(const WeightFile& file) {
    const double length = file.n_grid, channels = file.channels, kernel = file.kernel;
    const double blocks = static_cast<double>(file.dilations.size());
    return length * (kPositionWork + channels * (kernel * (3.0 + 2.0 * blocks * channels) +
                                                 kElementwiseWork * blocks));
}

std::string shape_text(const std::vector<std::uint32_t>& shape) {
    std::string out = "(";
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (i > 0) out += ", ";
        out += std::to_string(shape[i]);
    }
    return out + ")";
}

// Layer lookups in run order: ".weight" then ".bias" of "w." + layer.
struct LayerTensors {
    const Tensor* weight = nullptr;
    const Tensor* bias = nullptr;
};

WeightFileResult<LayerTensors> lookup_layer(const WeightFile& file, const std::string& layer) {
    auto weight = file.tensor("w." + layer + ".weight");
    if (!weight) return weight.error();
    auto bias = file.tensor("w." + layer + ".bias");
    if (!bias) return bias.error();
    return LayerTensors{*weight, *bias};
}

WeightFileStatus require_count(const std::string& name, const Tensor& t, std::uint64_t count) {
    if (t.values.size() < count)
        return WeightFileError::shape_mismatch(name, t.values.size(), count);
    return Unit{};
}

WeightFileResult<ConvWeights> bind_conv(const WeightFile& file, const std::string& layer,
                                        std::size_t channels, std::size_t c_in) {
    auto tensors = lookup_layer(file, layer);
    if (!tensors) return tensors.error();
    const Tensor& weight = *tensors->weight;
    const Tensor& bias = *tensors->bias;
    const std::string weight_name = "w." + layer + ".weight";
    if (weight.shape.empty() || weight.shape[0] != channels) {
        return WeightFileError::shape_mismatch_text(
            weight_name, shape_text(weight.shape),
            shape_text({static_cast<std::uint32_t>(channels), static_cast<std::uint32_t>(c_in),
                        static_cast<std::uint32_t>(file.kernel)}));
    }
    const std::uint64_t needed = std::uint64_t{channels} * c_in * file.kernel;
    if (auto s = require_count(weight_name, weight, needed); !s) return s.error();
    if (auto s = require_count("w." + layer + ".bias", bias, channels); !s) return s.error();
    return ConvWeights{weight.values.data(), bias.values.data(), channels, c_in};
}

WeightFileResult<NormWeights> bind_norm(const WeightFile& file, const std::string& layer,
                                        std::size_t channels) {
    auto tensors = lookup_layer(file, layer);
    if (!tensors) return tensors.error();
    if (auto s = require_count("w." + layer + ".weight", *tensors->weight, channels); !s) {
        return s.error();
    }
    if (auto s = require_count("w." + layer + ".bias", *tensors->bias, channels); !s) {
        return s.error();
    }
    return NormWeights{tensors->weight->values.data(), tensors->bias->values.data()};
}

WeightFileResult<DenseWeights> bind_dense(const WeightFile& file, const std::string& layer,
                                          std::size_t input_length) {
    auto tensors = lookup_layer(file, layer);
    if (!tensors) return tensors.error();
    const Tensor& weight = *tensors->weight;
    const std::string weight_name = "w." + layer + ".weight";
    if (weight.shape.size() < 2) {
        return WeightFileError::shape_mismatch_text(weight_name, shape_text(weight.shape),
                                                    "(rows, " + std::to_string(input_length) + ")");
    }
    const std::size_t rows = weight.shape[0];
    const std::size_t cols = weight.shape[1];
    if (input_length != cols) return WeightFileError::shape_mismatch(layer, input_length, cols);
    if (auto s = require_count(weight_name, weight, std::uint64_t{rows} * cols); !s) {
        return s.error();
    }
    if (auto s = require_count("w." + layer + ".bias", *tensors->bias, rows); !s) {
        return s.error();
    }
    return DenseWeights{weight.values.data(), tensors->bias->values.data(), rows, cols};
}

WeightFileStatus check_config(const WeightFile& file) {
    if (file.n_grid == 0) return WeightFileError::unparsable("n_grid");
    if (file.kernel == 0) return WeightFileError::unparsable("kernel");
    // No channels would make every group empty, and any group count divides
    // 0: a file could ask for 2^32 − 1 passes over nothing per normalisation.
    if (file.channels == 0) return WeightFileError::unparsable("channels");
    if (file.groups == 0 || file.groups > file.channels || file.channels % file.groups != 0) {
        return WeightFileError::unparsable("groups");
    }
    const std::uint64_t widest = std::max<std::uint64_t>(file.channels, 3);
    if (widest * file.n_grid > kMaxActivationValues) return WeightFileError::unparsable("n_grid");
    if (const double work = forward_work(file); work > kMaxForwardWork) {
        return WeightFileError::unparsable(
            "network size: one guess would take " + format_value(work) +
            " operations, more than the limit of " + format_value(kMaxForwardWork));
    }
    return Unit{};
}

WeightFileStatus check_tables(const WeightFile& file, std::size_t outputs) {
    struct Table {
        const char* name;
        std::size_t size;
    };
    for (const Table t : {Table{"target_mean", file.target_mean.size()},
                          Table{"target_std", file.target_std.size()},
                          Table{"log_params", file.log_params.size()}}) {
        if (t.size < outputs) return WeightFileError::shape_mismatch(t.name, t.size, outputs);
    }
    // scaling has as many rows as target_mean (checked by the parser).
    for (std::size_t p = 0; p < outputs; ++p) {
        const std::int32_t index = file.scaling[p].alpha_index;
        if (index >= 0 && static_cast<std::size_t>(index) >= outputs) {
            return WeightFileError::unparsable("scaling");
        }
    }
    if (file.alpha_min > file.alpha_max) return WeightFileError::unparsable("alpha_min");
    return Unit{};
}

}  // namespace

WeightFileResult<Network> bind_network(const WeightFile& file) {
    if (auto s = check_config(file); !s) return s.error();
    Network net;
    NetworkConfig& config = net.config;
    config.n_grid = file.n_grid;
    config.channels = file.channels;
    config.kernel = file.kernel;
    config.groups = file.groups;
    config.outputs = file.param_names.size();
    const std::size_t ch = config.channels;

    NetworkWeights& w = net.weights;
    auto stem = bind_conv(file, "stem", ch, 3);
    if (!stem) return stem.error();
    w.stem = *stem;
    for (std::size_t b = 0; b < file.dilations.size(); ++b) {
        const std::string prefix = "blocks." + std::to_string(b) + ".";
        BlockWeights block;
        block.dilation = file.dilations[b];
        auto conv1 = bind_conv(file, prefix + "conv1", ch, ch);
        if (!conv1) return conv1.error();
        block.conv1 = *conv1;
        auto norm1 = bind_norm(file, prefix + "norm1", ch);
        if (!norm1) return norm1.error();
        block.norm1 = *norm1;
        auto conv2 = bind_conv(file, prefix + "conv2", ch, ch);
        if (!conv2) return conv2.error();
        block.conv2 = *conv2;
        auto norm2 = bind_norm(file, prefix + "norm2", ch);
        if (!norm2) return norm2.error();
        block.norm2 = *norm2;
        w.blocks.push_back(block);
    }

    auto head0 = bind_dense(file, "head.0", 2 * ch + 2);
    if (!head0) return head0.error();
    w.head0 = *head0;
    auto head2 = bind_dense(file, "head.2", w.head0.rows);
    if (!head2) return head2.error();
    w.head2 = *head2;
    auto head4 = bind_dense(file, "head.4", w.head2.rows);
    if (!head4) return head4.error();
    w.head4 = *head4;
    if (w.head4.rows < config.outputs) {
        return WeightFileError::shape_mismatch_text(
            "w.head.4.weight", shape_text(file.tensors.find("w.head.4.weight")->second.shape),
            "at least " + std::to_string(config.outputs) + " rows");
    }

    if (auto s = check_tables(file, config.outputs); !s) return s.error();
    return net;
}

WeightFileStatus check_network_shapes(const WeightFile& file) {
    auto net = bind_network(file);
    if (!net) return net.error();
    return Unit{};
}

// ---------------------------------------------------------------------------
// Kernels

// Cloned for AVX2 where the processor has it: the inner position loop is a
// plain y += w·x over doubles, and wider vectors change only its speed, not a
// single bit of the result (no fused multiply-add, same per-element order).
KORVANE_WIDE_LOOP
void conv1d(std::span<const double> x, const ConvWeights& w, std::size_t kernel,
            std::size_t dilation, std::size_t length, std::span<double> y) {
    // All offsets in unsigned 64-bit: k·d and d·(K−1) stay below 2^64 for
    // 32-bit dilations and kernels, where a signed difference could overflow.
    const std::uint64_t d = dilation;
    const std::uint64_t pad = d * (std::uint64_t{kernel} - 1) / 2;
    const std::uint64_t len = length;
    for (std::size_t o = 0; o < w.c_out; ++o) {
        double* __restrict out_row = y.data() + o * length;
        const double bias = w.bias[o];
        for (std::size_t t = 0; t < length; ++t) out_row[t] = bias;
        for (std::size_t i = 0; i < w.c_in; ++i) {
            const double* __restrict in_row = x.data() + i * length;
            const double* taps = w.weight + (o * w.c_in + i) * kernel;
            for (std::size_t k = 0; k < kernel; ++k) {
                const double tap = taps[k];
                if (tap == 0.0) continue;
                const std::uint64_t reach = std::uint64_t{k} * d;
                // Input index t + reach − pad must lie in [0, L).
                std::size_t t_begin, t_end;
                const double* src;
                if (reach >= pad) {
                    const std::uint64_t shift = reach - pad;
                    if (shift >= len) continue;
                    t_begin = 0;
                    t_end = static_cast<std::size_t>(len - shift);
                    src = in_row + shift;
                } else {
                    const std::uint64_t shift = pad - reach;
                    if (shift >= len) continue;
                    t_begin = static_cast<std::size_t>(shift);
                    t_end = length;
                    src = in_row - shift;
                }
                for (std::size_t t = t_begin; t < t_end; ++t) out_row[t] += tap * src[t];
            }
        }
    }
}

void group_norm(std::span<double> x, const NormWeights& w, std::size_t channels, std::size_t groups,
                std::size_t length) {
    const std::size_t per_group = channels / groups;
    const std::size_t count = per_group * length;
    const double m = static_cast<double>(count);
    for (std::size_t g = 0; g < groups; ++g) {
        double* values = x.data() + g * count;
        double sum = -0.0;
        for (std::size_t i = 0; i < count; ++i) sum += values[i];
        const double mean = sum / m;
        double squares = -0.0;
        for (std::size_t i = 0; i < count; ++i) {
            const double dv = values[i] - mean;
            squares += dv * dv;
        }
        const double variance = squares / m;
        const double inv = 1.0 / std::sqrt(variance + 1e-5);
        for (std::size_t c = 0; c < per_group; ++c) {
            const std::size_t channel = g * per_group + c;
            const double gamma = w.scale[channel];
            const double beta = w.shift[channel];
            double* row = values + c * length;
            for (std::size_t t = 0; t < length; ++t)
                row[t] = ((row[t] - mean) * inv) * gamma + beta;
        }
    }
}

void gelu(std::span<double> x) {
    for (double& v : x) {
        v = (std::tanh((v + v * (v * (0.044715 * v))) * 0.7978845608028654) + 1.0) * (v * 0.5);
    }
}

void dense(std::span<const double> u, const DenseWeights& w, std::span<double> out) {
    for (std::size_t j = 0; j < w.rows; ++j) {
        const double* row = w.weight + j * w.cols;
        double sum = -0.0;
        for (std::size_t i = 0; i < w.cols; ++i) sum += row[i] * u[i];
        out[j] = w.bias[j] + sum;
    }
}

// The plain path's table: the reference loops above behind the raw-pointer
// signatures every path shares.
namespace {

void plain_conv1d(const double* x, const ConvWeights& w, std::size_t kernel, std::size_t dilation,
                  std::size_t length, double* y) {
    conv1d({x, w.c_in * length}, w, kernel, dilation, length, {y, w.c_out * length});
}

void plain_group_norm(double* x, const NormWeights& w, std::size_t channels, std::size_t groups,
                      std::size_t length, bool then_gelu) {
    group_norm({x, channels * length}, w, channels, groups, length);
    if (then_gelu) gelu({x, channels * length});
}

void plain_add_gelu(double* h, const double* y, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) h[i] = h[i] + y[i];
    gelu({h, count});
}

// Per-channel mean, then per-channel maximum ignoring NaN.
void plain_pool(const double* h, std::size_t channels, std::size_t length, double* features) {
    for (std::size_t c = 0; c < channels; ++c) {
        const double* row = h + c * length;
        double sum = -0.0;
        double peak = -std::numeric_limits<double>::infinity();
        for (std::size_t t = 0; t < length; ++t) {
            sum += row[t];
            if (row[t] > peak) peak = row[t];
        }
        features[c] = sum / static_cast<double>(length);
        features[channels + c] = peak;
    }
}

void plain_dense(const double* u, const DenseWeights& w, double* out, bool then_gelu) {
    dense({u, w.cols}, w, {out, w.rows});
    if (then_gelu) gelu({out, w.rows});
}

constexpr LayerKernels kPlainKernels{&plain_conv1d, &plain_group_norm, &plain_add_gelu, &plain_pool,
                                     &plain_dense};

}  // namespace

const LayerKernels* plain_layer_kernels() { return &kPlainKernels; }

RunState::RunState(const NetworkConfig& config, const NetworkWeights& weights)
    : hidden(config.channels * config.n_grid),
      branch(config.channels * config.n_grid),
      scratch(config.channels * config.n_grid),
      features(2 * config.channels + 2),
      head0(weights.head0.rows),
      head2(weights.head2.rows),
      output(weights.head4.rows) {}

void forward(const Network& network, std::span<const double> input, double span_descriptor,
             double count_descriptor, RunState& state) {
    const NetworkConfig& config = network.config;
    const NetworkWeights& w = network.weights;
    const std::size_t length = config.n_grid;
    const std::size_t ch = config.channels;
    const LayerKernels& k = *layer_kernels(inference_path());
    // The vector kernels keep one lane mask per tap; longer kernels (no
    // trained network has one) take the plain loop, which gives the same bits.
    const auto conv = config.kernel <= kMaxVectorTaps ? k.conv1d : kPlainKernels.conv1d;

    double* hidden = state.hidden.data();
    double* branch = state.branch.data();
    double* scratch = state.scratch.data();
    conv(input.data(), w.stem, config.kernel, 1, length, hidden);
    for (const BlockWeights& block : w.blocks) {
        conv(hidden, block.conv1, config.kernel, block.dilation, length, branch);
        k.group_norm(branch, block.norm1, ch, config.groups, length, /*gelu=*/true);
        conv(branch, block.conv2, config.kernel, block.dilation, length, scratch);
        k.group_norm(scratch, block.norm2, ch, config.groups, length, /*gelu=*/false);
        k.add_gelu(hidden, scratch, ch * length);
    }

    // Global pooling: per-channel mean, then per-channel maximum ignoring NaN.
    k.pool(hidden, ch, length, state.features.data());
    state.features[2 * ch] = span_descriptor;
    state.features[2 * ch + 1] = count_descriptor;

    k.dense(state.features.data(), w.head0, state.head0.data(), /*gelu=*/true);
    k.dense(state.head0.data(), w.head2, state.head2.data(), /*gelu=*/true);
    k.dense(state.head2.data(), w.head4, state.output.data(), /*gelu=*/false);
}

WeightFileResult<std::vector<double>> infer(const WeightFile& file,
                                            std::span<const double> frequencies,
                                            std::span<const Cplx> impedances) {
    const std::size_t n = std::min(frequencies.size(), impedances.size());
    if (n < 2) return WeightFileError::too_few_points(n);
    auto bound = bind_network(file);
    if (!bound) return bound.error();
    const Network& network = *bound;

    const SpectrumScales scales = reactive_centroid_scales(frequencies, impedances);
    const NetworkInput input = build_network_input(frequencies, impedances, file.n_grid, scales);
    RunState state(network.config, network.weights);
    forward(network, input.channels, input.span_descriptor, input.count_descriptor, state);

    // De-normalise: z = o·σ + μ, a base-10 logarithm where log_params says so;
    // linear outputs (the CPE exponents) are clamped to [alpha_min, alpha_max].
    const std::size_t outputs = network.config.outputs;
    std::vector<double> values(outputs);
    for (std::size_t p = 0; p < outputs; ++p) {
        const double z = state.output[p] * file.target_std[p] + file.target_mean[p];
        values[p] = file.log_params[p] ? std::pow(10.0, z) : z;
    }
    for (std::size_t p = 0; p < outputs; ++p) {
        if (file.log_params[p]) continue;
        double& v = values[p];  // NaN compares false both ways and stays NaN
        if (v < file.alpha_min) {
            v = file.alpha_min;
        } else if (v > file.alpha_max) {
            v = file.alpha_max;
        }
    }

    // Re-scale into physical units with the spectrum scales; the alpha term lets
    // a CPE's q carry units of s^α: result = Z_c^a · v · ω_c^(c·α + b).
    std::vector<double> result(outputs);
    for (std::size_t p = 0; p < outputs; ++p) {
        const ScalingRow& row = file.scaling[p];
        const double e =
            row.alpha_index >= 0 ? row.alpha_coefficient * values[row.alpha_index] : 0.0;
        result[p] = std::pow(scales.z_c, row.impedance_exponent) * values[p] *
                    std::pow(scales.omega_c, e + row.frequency_exponent);
    }
    return result;
}

}  // namespace korvane
