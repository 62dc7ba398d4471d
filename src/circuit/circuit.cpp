// Building circuits from parts, evaluating them, and their printable form.
//
// Evaluation at one ω (Kirchhoff's laws for two-terminal networks):
//   series list    Z = Σ Z_node            (summed from 0 in node order)
//   parallel group Z = 1 / Σ 1/Z_branch    (each 1/z as conj(z)/|z|²)
// The walk recurses once per parallel group; building keeps the nesting
// within kMaxDepth so that the recursion stays far from the stack limit.

#include "circuit/circuit.hpp"

#include <algorithm>
#include <cmath>
#include <new>
#include <utility>

#include "circuit/batch_eval.hpp"
#include "circuit/params.hpp"
#include "circuit/tree_walk.hpp"
#include "runtime/number_format.hpp"
#include "runtime/pool.hpp"

namespace korvane {

namespace {

std::string too_deep() {
    return "circuit nesting is deeper than " + std::to_string(kMaxDepth) + " levels";
}

template <class Values>
Cplx series_impedance(const SeriesList& list, const Omega& om, Values& values);

template <class Values>
Cplx group_impedance(const ParallelGroup& group, const Omega& om, Values& values) {
    Cplx admittance{0.0, 0.0};
    for (const SeriesList& branch : group.branches) {
        admittance = admittance + reciprocal(series_impedance(branch, om, values));
    }
    return reciprocal(admittance);
}

template <class Values>
Cplx series_impedance(const SeriesList& list, const Omega& om, Values& values) {
    Cplx z{0.0, 0.0};
    for (const Node& node : list.nodes) {
        if (const Element* e = std::get_if<Element>(&node.item)) {
            z = z + element_impedance(e->kind, values(*e), om);
        } else {
            z = z + group_impedance(std::get<ParallelGroup>(node.item), om, values);
        }
    }
    return z;
}

Element unlabeled(const Element& e) {
    Element copy;
    copy.kind = e.kind;
    copy.values = e.values;
    return copy;
}

// Shared checks of series() and parallel(): no null circuit, and the depth
// of the deepest operand.
Result<std::size_t> deepest_operand(std::span<const Operand> operands) {
    std::size_t deepest = 0;
    for (const Operand& op : operands) {
        if (const auto* c = std::get_if<const Circuit*>(&op.item)) {
            if (*c == nullptr) return Error::internal("null circuit operand");
            deepest = std::max(deepest, nesting_depth((*c)->top));
        }
    }
    return deepest;
}

bool all_explicit(std::span<const Operand> operands) {
    for (const Operand& op : operands) {
        if (const auto* c = std::get_if<const Circuit*>(&op.item)) {
            if (!(*c)->values_explicit) return false;
        }
    }
    return true;
}

// Pieces handed to the pool: large enough that a piece costs far more than
// its hand-off, small enough to balance two to a few dozen workers.
constexpr std::size_t kPoolThreshold = 1000;
constexpr std::size_t kPieceSize = 256;

}  // namespace

// ---- building ---------------------------------------------------------------

std::size_t nesting_depth(const SeriesList& list) {
    // Iterative, so that it is safe on any tree, including one built by hand
    // deeper than the recursive walks allow.
    struct Pending {
        const SeriesList* list;
        std::size_t depth;
    };
    std::vector<Pending> stack{{&list, 0}};
    std::size_t deepest = 0;
    while (!stack.empty()) {
        const Pending p = stack.back();
        stack.pop_back();
        deepest = std::max(deepest, p.depth);
        for (const Node& node : p.list->nodes) {
            if (const auto* g = std::get_if<ParallelGroup>(&node.item)) {
                for (const SeriesList& b : g->branches) stack.push_back({&b, p.depth + 1});
                if (g->branches.empty()) deepest = std::max(deepest, p.depth + 1);
            }
        }
    }
    return deepest;
}

Result<Circuit> series(std::span<const Operand> operands) {
    Result<std::size_t> depth = deepest_operand(operands);
    if (!depth.ok()) return depth.take_error();
    if (*depth > kMaxDepth) return Error::value(too_deep());
    Circuit out;
    out.values_explicit = all_explicit(operands);
    for (const Operand& op : operands) {
        if (const auto* e = std::get_if<Element>(&op.item)) {
            out.top.nodes.push_back(Node{unlabeled(*e)});
        } else {
            const Circuit& c = *std::get<const Circuit*>(op.item);
            out.top.nodes.insert(out.top.nodes.end(), c.top.nodes.begin(), c.top.nodes.end());
        }
    }
    return out;
}

Result<Circuit> parallel(std::span<const Operand> operands) {
    Result<std::size_t> depth = deepest_operand(operands);
    if (!depth.ok()) return depth.take_error();
    if (*depth + 1 > kMaxDepth) return Error::value(too_deep());
    ParallelGroup group;
    group.branches.reserve(operands.size());
    for (const Operand& op : operands) {
        if (const auto* e = std::get_if<Element>(&op.item)) {
            SeriesList branch;
            branch.nodes.push_back(Node{unlabeled(*e)});
            group.branches.push_back(std::move(branch));
        } else {
            group.branches.push_back(std::get<const Circuit*>(op.item)->top);
        }
    }
    Circuit out;
    out.values_explicit = all_explicit(operands);
    out.top.nodes.push_back(Node{std::move(group)});
    return out;
}

// ---- evaluation -------------------------------------------------------------

std::size_t parameter_count(const Circuit& circuit) {
    std::size_t n = 0;
    auto count = [&n](const Element& e) { n += static_cast<std::size_t>(param_count(e.kind)); };
    for_each_element(circuit.top, count);
    return n;
}

Cplx circuit_impedance(const Circuit& circuit, double w) {
    const Omega om = make_omega(w);
    StoredValues values;
    return series_impedance(circuit.top, om, values);
}

Cplx impedance_unchecked(const Circuit& circuit, const double* trial, double w) {
    const Omega om = make_omega(w);
    TrialCursor cursor{trial};
    return series_impedance(circuit.top, om, cursor);
}

Error not_enough_values(std::size_t parameter_count, std::size_t given) {
    const auto count = [](std::size_t n, const char* one, const char* many) {
        return std::to_string(n) + (n == 1 ? one : many);
    };
    return Error::value("impedance_from_iter: not enough values supplied (the circuit has " +
                        count(parameter_count, " parameter, ", " parameters, ") +
                        count(given, " was given)", " were given)"));
}

Result<Cplx> impedance_from_iter(const Circuit& circuit, std::span<const double> trial, double w) {
    const std::size_t needed = parameter_count(circuit);
    if (trial.size() < needed) return not_enough_values(needed, trial.size());
    return impedance_unchecked(circuit, trial.data(), w);
}

Status impedance_over_frequencies(const Circuit& circuit, std::span<const double> frequencies,
                                  Cplx* out) {
    // Evaluated block-wise; each point gets the operations of
    // circuit_impedance (see batch_eval.hpp), and the pool changes only who
    // computes a slot, never its bits.
    try {
        std::vector<double> omega(frequencies.size());
        for (std::size_t i = 0; i < omega.size(); ++i) omega[i] = kTwoPi * frequencies[i];
        const SpectrumEvaluator evaluator(circuit, omega);
        EvaluationCache cache(evaluator.shape(), EvaluationCache::Reuse::Off);
        if (frequencies.size() < kPoolThreshold) {
            evaluator.evaluate_stored(0, frequencies.size(), out, cache, this_worker());
            return ok_status();
        }
        return parallel_for(frequencies.size(), kPieceSize,
                            [&](std::size_t worker, std::size_t begin, std::size_t end) {
                                evaluator.evaluate_stored(begin, end, out, cache, worker);
                                return ok_status();
                            });
    } catch (const std::bad_alloc&) {
        return Error::internal("out of memory");
    }
}

Result<std::vector<Cplx>> impedance_over_frequencies(const Circuit& circuit,
                                                     std::span<const double> frequencies) {
    std::vector<Cplx> out(frequencies.size());
    Status status = impedance_over_frequencies(circuit, frequencies, out.data());
    if (!status.ok()) return status.take_error();
    return out;
}

// ---- printable form ---------------------------------------------------------

std::string printable_form(const Circuit& circuit) {
    const std::vector<std::string> names = param_names(circuit);
    const std::vector<double> values = param_values(circuit);
    const std::vector<Bounds> bounds = param_bounds(circuit);
    const std::vector<std::string> units = param_units(circuit);
    std::size_t width = 0;
    for (const std::string& n : names) width = std::max(width, n.size());

    std::string out = "Circuit (" + std::to_string(names.size()) + " parameter" +
                      (names.size() == 1 ? "" : "s") + ")\n";
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += '\n';
        out += "  ";
        out += names[i];
        out.append(width - names[i].size(), ' ');
        out += " = ";
        const std::string value = format_value(values[i]);
        out += value;
        if (value.size() < 10) out.append(10 - value.size(), ' ');
        out += ' ';
        out += unit_and_bounds_text(units[i], bounds[i]);
    }
    return out;
}

// ---- abbreviations ----------------------------------------------------------

namespace {

// K(r, τ) = R(r) ∥ C(τ/r);  Zarc(r, τ, γ) = R(r) ∥ Cpe(τ^γ/r, γ).
// Both pairs have the same impedance: 1/r + jωτ/r and 1/r + (jωτ)^γ/r.
ParallelGroup expanded_pair(const Element& e) {
    const double r = e.values[0];
    const double tau = e.values[1];
    Element resistor;
    resistor.kind = Kind::R;
    resistor.values = {r, 0.0, 0.0, 0.0};
    Element capacitive;
    if (e.kind == Kind::K) {
        capacitive.kind = Kind::C;
        capacitive.values = {tau / r, 0.0, 0.0, 0.0};
    } else {
        const double gamma = e.values[2];
        capacitive.kind = Kind::Cpe;
        capacitive.values = {std::pow(tau, gamma) / r, gamma, 0.0, 0.0};
    }
    ParallelGroup group;
    group.branches.resize(2);
    group.branches[0].nodes.push_back(Node{std::move(resistor)});
    group.branches[1].nodes.push_back(Node{std::move(capacitive)});
    return group;
}

}  // namespace

bool expand_abbreviations(SeriesList& list) {
    bool replaced = false;
    for (Node& node : list.nodes) {
        if (Element* e = std::get_if<Element>(&node.item)) {
            if (e->kind == Kind::K || e->kind == Kind::Zarc) {
                node.item = expanded_pair(*e);
                replaced = true;
            }
        } else {
            for (SeriesList& branch : std::get<ParallelGroup>(node.item).branches) {
                replaced = expand_abbreviations(branch) || replaced;
            }
        }
    }
    return replaced;
}

}  // namespace korvane
