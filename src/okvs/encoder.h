// Encoding a store: the attempt loop over seeds, hashing, graph and peeling,
// the core's elimination and the fill of every cell. The keys come from a
// KeySource and the values from a ValueSource, so a caller may hold its values
// already or make them only when the fill needs them.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "okvs/cell.h"
#include "okvs/graph.h"
#include "okvs/hashable.h"
#include "okvs/paxos.h"
#include "random/generator.h"

namespace kestrova::okvs {

// Values handed to the encoder as it needs them: first the core's rows (on
// each attempt that reaches elimination), then, once an attempt is accepted,
// the peeled rows in the order their cells are written, in chunks of at most
// kValueChunk. Each row of the accepted attempt is asked for exactly once
// after its core call.
class ValueSource {
public:
    virtual ~ValueSource() = default;
    // out[k] <- the value of row rows[k].
    virtual void fill(std::span<const uint32_t> rows, Cell* out) = 0;
};

// Values held in a span, by row.
class CellValues final : public ValueSource {
public:
    explicit CellValues(std::span<const Cell> values) : values_(values) {}
    void fill(std::span<const uint32_t> rows, Cell* out) override;

private:
    std::span<const Cell> values_;
};

// Peeled rows per fill: large enough to keep a pool busy when the values are
// made on demand, small enough to stay in cache-sized memory.
inline constexpr std::size_t kValueChunk = std::size_t(1) << 15;

// What the attempts of one encoding ran into (for tests and measurements).
struct EncodeStats {
    uint64_t attempts = 0;
    uint64_t duplicates = 0;
    uint64_t large_cores = 0;
    uint64_t dependent_cores = 0;
    std::vector<uint32_t> core_pairs;  // pairs solved by elimination in the accepted attempt
};

// Called between the steps of an encoding (hashing, graph and peeling,
// elimination, filling the cells), so that a caller can give up part way by
// throwing from it.
using StepHook = void (*)();

// Panics when two keys are equal: no store can hold both. The seeds and every
// random cell come from gen, on the calling thread.
PaxosStore encode(KeySource& keys, ValueSource& values, kestrova::random::Generator& gen,
                  EncodeStats* stats = nullptr, StepHook between_steps = nullptr);

// keys[i] are key bytes (as from key_bytes), values[i] the value of key i.
PaxosStore paxos_encode(std::span<const std::string> keys, std::span<const Cell> values);
PaxosStore paxos_encode(std::span<const std::string> keys, std::span<const Cell> values,
                        kestrova::random::Generator& gen, EncodeStats* stats = nullptr,
                        StepHook between_steps = nullptr);
PaxosStore paxos_encode(const std::vector<std::pair<Row, Cell>>& pairs);

// Equal key bytes, found up front: one hash per key and a sort, far less than
// an encoding attempt. refuse panics at the first; drop returns the rows whose
// key equals an earlier row's, ascending.
enum class EqualKeys { refuse, drop };
std::vector<uint32_t> find_equal_keys(const KeySource& keys, EqualKeys mode);
void refuse_equal_keys(std::span<const std::string> keys);

enum class AttemptOutcome { accepted, duplicate, large_core, dependent_core };

// One attempt over hashed edges: on acceptance fills store's cells (not its seeds).
AttemptOutcome encode_attempt(const EdgeEnds& edges, ValueSource& values, uint64_t m,
                              kestrova::random::Generator& gen, PaxosStore& store, Duplicate* duplicate = nullptr,
                              std::vector<uint32_t>* core_pairs = nullptr, StepHook between_steps = nullptr);

}  // namespace kestrova::okvs
