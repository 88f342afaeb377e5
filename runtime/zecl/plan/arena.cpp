// The arena's layout: values the plan computes share bytes when no step needs
// both at once, so a deep network's activations take the space of its widest
// few layers and stay in cache between the steps that pass them on.
#include <algorithm>
#include <map>

#include "zecl/plan/lowering.hpp"

namespace zecl::plan {
namespace {

constexpr size_t kAlignment = 64;

struct Lifetime {
    size_t first = SIZE_MAX, last = 0;  // steps, both included
    size_t bytes = 0;
};

size_t aligned(size_t bytes) { return (bytes + kAlignment - 1) / kAlignment * kAlignment; }

bool inArena(const Value &value) { return value.alias < 0 && value.input < 0 && value.constant < 0; }

// The bytes a value's reads and writes reach: a view's are its source's.
int owner(const Program &program, int id) {
    int alias = program.values[id].alias;
    return alias >= 0 ? alias : id;
}

// From the first step that touches each arena value to the last; graph outputs
// live to the end, since they are read after the last step.
std::map<int, Lifetime> lifetimes(const Program &program) {
    std::map<int, Lifetime> lives;
    auto touch = [&](int id, size_t step) {
        int root = owner(program, id);
        if (!inArena(program.values[root])) return;
        Lifetime &life = lives[root];
        life.first = std::min(life.first, step);
        life.last = std::max(life.last, step);
    };
    for (size_t step = 0; step < program.steps.size(); ++step)
        for (const auto &[argument, id] : program.steps[step].values) touch(id, step);
    for (int id : program.outputs) touch(id, program.steps.size());
    for (auto &[id, life] : lives) life.bytes = aligned(program.values[id].desc.get_size());
    return lives;
}

struct Placed {
    size_t offset, bytes, last;
};

// The lowest offset where `bytes` fit beside the blocks still alive.
size_t firstFit(const std::vector<Placed> &alive, size_t bytes) {
    size_t offset = 0;
    for (const Placed &block : alive) {  // sorted by offset
        if (block.offset >= offset + bytes) break;
        offset = std::max(offset, block.offset + block.bytes);
    }
    return offset;
}

}  // namespace

void layOutArena(Program *program) {
    auto lives = lifetimes(*program);
    std::vector<std::pair<int, Lifetime>> order(lives.begin(), lives.end());
    std::stable_sort(order.begin(), order.end(),
                     [](const auto &a, const auto &b) { return a.second.first < b.second.first; });
    std::vector<Placed> alive;  // by offset
    size_t total = 0;
    for (const auto &[id, life] : order) {
        // Blocks whose last step came before this value's first are free again; a
        // step that reads one value while writing another never has both in one place.
        alive.erase(std::remove_if(alive.begin(), alive.end(),
                                   [&life = life](const Placed &block) { return block.last < life.first; }),
                    alive.end());
        size_t offset = firstFit(alive, life.bytes);
        program->values[id].offset = offset;
        Placed placed{offset, life.bytes, life.last};
        alive.insert(std::upper_bound(alive.begin(), alive.end(), placed,
                                      [](const Placed &a, const Placed &b) { return a.offset < b.offset; }),
                     placed);
        total = std::max(total, offset + life.bytes);
    }
    program->arenaBytes = total;
}

}  // namespace zecl::plan
