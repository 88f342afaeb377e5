#include "zecl/plan/dnnl.hpp"

#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <vector>

// GNU OpenMP's own entry points, declared here rather than through a compiler's omp.h:
// a clang build would otherwise set the thread count of its own OpenMP runtime, which
// oneDNN never reads.
extern "C" int omp_get_max_threads(void);
extern "C" void omp_set_num_threads(int threads);
extern "C" int omp_get_thread_num(void);
extern "C" void GOMP_parallel(void (*body)(void *), void *data, unsigned threads, unsigned flags);

namespace zecl::plan {

int libraryThreads() { return omp_get_max_threads(); }

void setLibraryThreads(int threads) { omp_set_num_threads(threads); }

namespace {

// The kernel's ids of the calling thread's OpenMP team but itself, for a team of `threads`
// (GNU OpenMP keeps a thread's team for the thread's life). Atomics: the team's barrier is
// GNU OpenMP's own, which no thread sanitizer sees.
const std::vector<std::atomic<pid_t>> &teamThreads(int threads) {
    thread_local std::vector<std::atomic<pid_t>> ids;
    if (static_cast<int>(ids.size()) != threads - 1) {
        ids = std::vector<std::atomic<pid_t>>(threads - 1);
        GOMP_parallel(
            [](void *data) {
                int rank = omp_get_thread_num();
                if (rank > 0) (*static_cast<std::vector<std::atomic<pid_t>> *>(data))[rank - 1].store(gettid());
            },
            &ids, static_cast<unsigned>(threads), 0);
    }
    return ids;
}

}  // namespace

// A team that slept can wake on the core of the thread that wakes it, which spins at the first
// barrier waiting for them: the kernel runs them only at its next tick, milliseconds later.
// Kept off that core, they start at once.
void steerTeamAway(int threads) {
    if (threads < 2) return;
    const auto &ids = teamThreads(threads);
    cpu_set_t allowed;
    int here = sched_getcpu();
    if (here < 0 || sched_getaffinity(0, sizeof allowed, &allowed) != 0 || CPU_COUNT(&allowed) < 2) return;
    CPU_CLR(here, &allowed);
    for (const auto &id : ids)
        if (pid_t thread = id.load(); thread > 0) sched_setaffinity(thread, sizeof allowed, &allowed);
}

const dnnl::engine &cpuEngine() {
    // Never destroyed: op-stream threads may still run plans while the process exits.
    static const dnnl::engine &engine = *new dnnl::engine(dnnl::engine::kind::cpu, 0);
    return engine;
}

dnnl::memory::dims libraryDims(const Dims &dims) {
    if (dims.empty()) return {1};
    return {dims.begin(), dims.end()};
}

Desc plainDesc(const Dims &dims) {
    auto shape = libraryDims(dims);
    dnnl::memory::dims strides(shape.size(), 1);
    for (int d = static_cast<int>(shape.size()) - 2; d >= 0; --d) strides[d] = strides[d + 1] * shape[d + 1];
    return Desc(shape, dnnl::memory::data_type::f32, strides);
}

Desc anyDesc(const Dims &dims) {
    return Desc(libraryDims(dims), dnnl::memory::data_type::f32, dnnl::memory::format_tag::any);
}

Desc transposedDesc(const Dims &dims) {
    auto shape = libraryDims(dims);
    size_t n = shape.size();
    dnnl::memory::dims strides(n, 1);
    // The last two dimensions stored column-major, the batch dimensions row-major around them.
    strides[n - 2] = 1;
    strides[n - 1] = shape[n - 2];
    int64_t matrix = shape[n - 2] * shape[n - 1];
    for (int d = static_cast<int>(n) - 3; d >= 0; --d) {
        strides[d] = matrix;
        matrix *= shape[d];
    }
    return Desc(shape, dnnl::memory::data_type::f32, strides);
}

Desc stridedDesc(const Dims &dims, const Dims &strides) {
    return Desc(libraryDims(dims), dnnl::memory::data_type::f32, dnnl::memory::dims(strides.begin(), strides.end()));
}

bool isPlain(const Desc &desc) { return desc == plainDesc({desc.dims().begin(), desc.dims().end()}); }

std::string implementation(const dnnl::primitive_desc_base &pd) { return pd.impl_info_str(); }

bool referenceKernel(const dnnl::primitive_desc_base &pd) { return implementation(pd).rfind("ref", 0) == 0; }

dnnl::memory constantMemory(const Desc &desc, const Dims &dims, const std::vector<float> &values) {
    return constantMemory(desc, plainDesc(dims), values);
}

dnnl::memory constantMemory(const Desc &desc, const Desc &source, const std::vector<float> &values) {
    const auto &engine = cpuEngine();
    dnnl::memory plain(source, engine, const_cast<float *>(values.data()));
    dnnl::memory placed(desc, engine);
    dnnl::stream stream(engine);
    dnnl::reorder(plain, placed).execute(stream, plain, placed);
    stream.wait();
    return placed;
}

dnnl::primitive_attr attributes() {
    dnnl::primitive_attr attr;
    attr.set_scratchpad_mode(dnnl::scratchpad_mode::user);
    return attr;
}

void appendEltwise(dnnl::post_ops *ops, dnnl::algorithm kind, float alpha, float beta) {
    ops->append_eltwise(1.f, kind, alpha, beta);
}

void appendSum(dnnl::post_ops *ops) { ops->append_sum(1.f); }

}  // namespace zecl::plan
