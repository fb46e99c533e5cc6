#include "engine/store_builder.h"

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <system_error>

#include "curve/multiply.h"
#include "engine/memory.h"
#include "engine/sha256.h"
#include "keys/keys.h"
#include "okvs/encoder.h"
#include "okvs/store_bytes.h"
#include "operations/row_values.h"
#include "panic/panic.h"
#include "random/generator.h"
#include "worker_pool/pool.h"

namespace kestrova::engine {
namespace {

constexpr size_t kBlockBytes = size_t(64) << 20;
constexpr size_t kFirstBlockBytes = size_t(1) << 20;

using okvs::Cell;

// Writes and hashes the same bytes, so the file is never read back.
void write_all(int fd, const uint8_t* data, size_t size, Sha256& digest) {
    digest.update(data, size);
    while (size > 0) {
        const ssize_t done = ::write(fd, data, std::min(size, size_t(1) << 30));
        if (done < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::generic_category(), "writing the store");
        }
        data += done;
        size -= size_t(done);
    }
}

// available: UINT64_MAX when an allocation failed (a limit of this process, not of the machine).
std::string needs_message(uint64_t rows, uint64_t need, uint64_t available) {
    return "building a store of " + grouped(rows) + " rows needs about " + gib(need) + " of memory, " +
           (available == UINT64_MAX ? std::string("more than this process could get")
                                    : "and only " + gib(available) + " is available");
}

}  // namespace

StoreBuilder::StoreBuilder(std::span<const uint8_t> public_key, uint64_t expected_rows)
    : pk_(keys::decode_public_key(public_key)) {
    where_.reserve(expected_rows);
}

std::string_view StoreBuilder::key(size_t i) const {
    const uint8_t* p = blocks_[where_[i] >> 32].get() + (where_[i] & 0xffffffffu);
    uint32_t size;
    std::memcpy(&size, p, 4);
    return {reinterpret_cast<const char*>(p + 4), size};
}

void StoreBuilder::add(const KeyColumn& keys) {
    if (written_) throw BadInput("the store is written already");
    try {
        for (size_t i = 0; i < keys.size(); ++i) {
            const std::string_view k = keys.at(i);
            if (k.size() > UINT32_MAX - 4) throw BadInput("a key longer than 4 GiB");
            const size_t need = 4 + k.size();
            if (blocks_.empty() || block_size_ - block_used_ < need) {
                // Doubling up to kBlockBytes: a small table takes little.
                block_size_ = std::max(std::min(kBlockBytes, kFirstBlockBytes << blocks_.size()), need);
                blocks_.emplace_back(new uint8_t[block_size_]);
                block_used_ = 0;
            }
            uint8_t* p = blocks_.back().get() + block_used_;
            const uint32_t size = uint32_t(k.size());
            std::memcpy(p, &size, 4);
            std::memcpy(p + 4, k.data(), k.size());
            where_.push_back((uint64_t(blocks_.size() - 1) << 32) | block_used_);
            block_used_ += need;
            key_bytes_ += k.size();
        }
    } catch (const std::bad_alloc&) {
        throw NeedsMemory("the keys of the first " + grouped(where_.size()) + " rows took all the memory this "
                          "process could get; " +
                          needs_message(where_.size(), peak_bytes(where_.size(), key_bytes_), UINT64_MAX));
    }
}

uint64_t StoreBuilder::peak_bytes(uint64_t rows, uint64_t key_bytes) {
    const uint64_t m = okvs::sparse_cell_count(rows);
    // Keys and their places, then edges, graph and peeling order while solving;
    // edge masks, peeling order, cells and their marks while filling.
    const uint64_t solving = key_bytes + 12 * rows + 16 * rows + 12 * m + 16 * rows + 12 * rows;
    const uint64_t filling = 20 * rows + (okvs::kCellBytes + 1) * m + okvs::kValueChunk * okvs::kCellBytes;
    return std::max(solving, filling);
}

uint64_t StoreBuilder::held_bytes() const {
    return key_bytes_ + 4 * where_.size() + where_.capacity() * sizeof(uint64_t);
}

void StoreBuilder::release_keys() {
    std::vector<std::unique_ptr<uint8_t[]>>().swap(blocks_);
    std::vector<uint64_t>().swap(where_);
}

uint64_t StoreBuilder::drop_duplicates() {
    const std::vector<uint32_t> later = okvs::find_equal_keys(*this, okvs::EqualKeys::drop);
    if (!later.empty()) {
        size_t kept = 0, next = 0;
        for (size_t i = 0; i < where_.size(); ++i) {
            if (next < later.size() && later[next] == i) {
                ++next;
                continue;
            }
            where_[kept++] = where_[i];
        }
        where_.resize(kept);
    }
    return later.size();
}

void StoreBuilder::keys_done() {
    release_keys();
    // What the solve freed goes back now, not after the cells are filled beside it.
    malloc_trim(0);
    if (on_keys_done_) on_keys_done_();
}

// Fresh encryptions of the neutral element: every row's value is one, so a
// value need not belong to its row until it is placed, and none is made
// before the fill asks for it.
class FreshValues final : public okvs::ValueSource {
public:
    FreshValues(const group::Point& pk, Progress& progress, uint64_t rows)
        : table_(pk), progress_(progress), rows_(rows) {}

    void fill(std::span<const uint32_t> rows, Cell* out) override {
        operations::encrypt_row_values_on_pool(table_, out, rows.size());
        // Each attempt's core comes first; the accepted one's is the last before the fill.
        made_ = filling_ ? made_ + rows.size() : rows.size();
        if (filling_) progress_.report(Phase::encrypted, made_, rows_);
    }

    // The solve is accepted: the rest of the values are the fill's.
    void solved() {
        progress_.report(Phase::solved, rows_, rows_);
        filling_ = true;
        progress_.report(Phase::encrypted, made_, rows_);
    }

private:
    const curve::FixedBaseTable table_;
    Progress& progress_;
    uint64_t rows_;
    uint64_t made_ = 0;
    bool filling_ = false;
};

BuildResult StoreBuilder::write(int fd, Progress& progress) {
    if (written_) throw BadInput("the store is written already");
    written_ = true;
    const uint64_t rows_given = where_.size();
    if (where_.size() > UINT32_MAX / 2) throw BadInput("a store holds at most 2^31 - 1 rows");
    const uint64_t need = peak_bytes(where_.size(), key_bytes_);
    const uint64_t available = available_memory();
    const uint64_t held = held_bytes();
    if (need > held && need - held > available) throw NeedsMemory(needs_message(where_.size(), need, available));
    try {
        BuildResult result{};
        if (!where_.empty() && operations::has_no_row_values(pk_)) throw BadInput(operations::kNoRowValuesMessage);
        result.duplicates = drop_duplicates();
        const uint64_t n = where_.size();
        result.rows = n;
        if (okvs::sparse_cell_count(n) > okvs::kMaxNodes)
            throw BadInput("a store holds at most " + std::to_string(okvs::kMaxNodes) + " cells");
        progress.report(Phase::hashed, n, n);

        FreshValues values(pk_, progress, n);
        on_keys_done_ = [&values] { values.solved(); };
        okvs::EncodeStats stats;
        const okvs::PaxosStore store =
            okvs::encode(*this, values, random::thread_generator(), &stats, worker_pool::check_interrupt);
        on_keys_done_ = nullptr;
        result.attempts = stats.attempts;

        Sha256 digest;
        uint8_t head[okvs::kSeedBytes];
        okvs::put_seeds(store, head);
        write_all(fd, head, sizeof head, digest);
        write_all(fd, reinterpret_cast<const uint8_t*>(store.sparse.data()), store.sparse.size() * okvs::kCellBytes,
                  digest);
        write_all(fd, reinterpret_cast<const uint8_t*>(store.dense.data()), okvs::kDenseBytes, digest);
        result.bytes = okvs::store_byte_count(n);
        result.digest = digest.finish();
        return result;
    } catch (const std::bad_alloc&) {
        on_keys_done_ = nullptr;
        release_keys();
        throw NeedsMemory(needs_message(rows_given, need, UINT64_MAX));
    } catch (...) {
        on_keys_done_ = nullptr;
        throw;
    }
}

}  // namespace kestrova::engine
