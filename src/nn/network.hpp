#pragma once
// The guessing network: a one-dimensional convolutional residual network over
// the resampled spectrum, global mean/max pooling and a three-layer dense
// head, followed by de-normalisation and re-scaling into physical units.
//
//   h = conv_stem(x)                                   x: (3, L) → h: (Ch, L)
//   for each dilation d:  y = gelu(gn1(conv1_d(h)));  y = gn2(conv2_d(y));  h = gelu(h + y)
//   f = [mean_t h, max_t h, e0, e1]                    (2·Ch + 2)
//   o = W4·gelu(W2·gelu(W0·f + b0) + b2) + b4          first P outputs used
//
// The kernels mirror the trainer's PyTorch modules (Conv1d with zero "same"
// padding, GroupNorm, GELU(approximate="tanh"), Linear) with fixed summation
// orders, so results reproduce to the last few bits.
//
// Reference for the block structure: He et al., "Identity mappings in deep
// residual networks", ECCV 2016; Wu & He, "Group normalization", ECCV 2018;
// Hendrycks & Gimpel, "Gaussian error linear units (GELUs)", 2016.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "circuit/complex.hpp"
#include "nn/layer_weights.hpp"
#include "nn/weight_file.hpp"

namespace korvane {

// Hyper-parameters of one loaded network, taken from the file's metadata and
// the head's tensor shapes.
struct NetworkConfig {
    std::size_t n_grid = 0;    // L, positions of every activation row
    std::size_t channels = 0;  // Ch
    std::size_t kernel = 0;    // K, taps per convolution
    std::size_t groups = 0;    // G, Ch % G == 0
    std::size_t outputs = 0;   // P, number of parameter names
};

struct BlockWeights {
    std::size_t dilation = 1;
    ConvWeights conv1;  // (Ch, Ch, K)
    NormWeights norm1;
    ConvWeights conv2;  // (Ch, Ch, K)
    NormWeights norm2;
};

struct NetworkWeights {
    ConvWeights stem;  // (Ch, 3, K)
    std::vector<BlockWeights> blocks;
    DenseWeights head0;  // (H0, 2·Ch + 2)
    DenseWeights head2;  // (H2, H0)
    DenseWeights head4;  // (≥P, H2)
};

struct Network {
    NetworkConfig config;
    NetworkWeights weights;
};

// Buffers of one forward pass, allocated once per call.
struct RunState {
    std::vector<double> hidden;    // (Ch, L)  h, the residual stream
    std::vector<double> branch;    // (Ch, L)  y after conv1
    std::vector<double> scratch;   // (Ch, L)  y after conv2
    std::vector<double> features;  // (2·Ch + 2)
    std::vector<double> head0;     // (H0)
    std::vector<double> head2;     // (H2)
    std::vector<double> output;    // (rows of head.4)

    RunState(const NetworkConfig& config, const NetworkWeights& weights);
};

// Looks every network tensor up and checks every shape the forward pass relies
// on, in the order the layers run, so a file reports the same failure it would
// meet while running: "weight file is missing w.blocks.2.norm1.bias", the head's
// "tensor head.0 has 34 elements, expected 66", and otherwise a ShapeMismatch
// or Unparsable for whatever would be read out of bounds (groups 0 or not
// dividing channels, kernel or n_grid 0, short weights or biases, too few head
// outputs, tables shorter than P, an alpha_index ≥ P, alpha_min > alpha_max).
// Before any tensor it also refuses channels 0, more groups than channels, and
// a network whose forward pass would take more than a fixed amount of work
// ("... unparsable value for network size: one guess would take ...").
WeightFileResult<Network> bind_network(const WeightFile& file);

// bind_network without keeping the views: for loaders that want to refuse a
// file before its first use.
WeightFileStatus check_network_shapes(const WeightFile& file);

// Starting values, one per file.param_names entry, for a measured spectrum
// (frequencies in Hz, impedances in ohm, caller's order). Fails with
// TooFewPoints below two points, before anything else; then binds the network
// (bind_network), so a caller needs no separate shape check before calling.
// Allocates its buffers once per call; safe to call concurrently on one file.
WeightFileResult<std::vector<double>> infer(const WeightFile& file,
                                            std::span<const double> frequencies,
                                            std::span<const Cplx> impedances);

// --- kernels ---------------------------------------------------------------

// y (c_out, L) = conv(x (c_in, L)) with zero padding pad = ⌊d·(K−1)/2⌋:
//   y[o][t] = b[o] + Σ_i Σ_k W[o][i][k] · x[i][t + k·d − pad]   (i, then k, in order)
// Taps whose weight is exactly zero are skipped.
void conv1d(std::span<const double> x, const ConvWeights& w, std::size_t kernel,
            std::size_t dilation, std::size_t length, std::span<double> y);

// In place on x (Ch, L); groups of Ch/G consecutive channels share one mean and
// variance: v ← ((v − μ)·(σ² + 1e-5)^(−1/2))·γ_c + β_c.
void group_norm(std::span<double> x, const NormWeights& w, std::size_t channels, std::size_t groups,
                std::size_t length);

// In place, tanh form: y = (tanh((v + v·(v·(0.044715·v)))·√(2/π)) + 1)·(v·0.5).
void gelu(std::span<double> x);

// out (rows) = W (rows, cols) · u (cols) + b, each row summed in order from −0.
void dense(std::span<const double> u, const DenseWeights& w, std::span<double> out);

// Runs the network body and head on a prepared input; fills state.output.
// The layers run on the instruction-set path of inference_path() (plain,
// AVX2 or AVX-512, layer_kernels.hpp); every path gives the same bits.
void forward(const Network& network, std::span<const double> input /* (3, L) */,
             double span_descriptor, double count_descriptor, RunState& state);

}  // namespace korvane
