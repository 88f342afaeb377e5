// The op stream functions of the compute library, and zesimDeliverReport.
#include <algorithm>
#include <chrono>

#include "zecl/stream.hpp"

using zecl::Stream;

namespace {

std::mutex streamsMutex;
std::vector<std::weak_ptr<Stream>> streams;  // for synchronizeDevice

std::shared_ptr<Stream> find(void *stream) { return zesim::find<Stream>(stream, zesim::Kind::OpStream); }

// Forgets the streams that are gone (each entry holds its stream's control block).
void forgetExpired() {
    streams.erase(
        std::remove_if(streams.begin(), streams.end(), [](const std::weak_ptr<Stream> &s) { return s.expired(); }),
        streams.end());
}

std::vector<std::shared_ptr<Stream>> streamsOn(uint32_t device) {
    std::lock_guard<std::mutex> lock(streamsMutex);
    std::vector<std::shared_ptr<Stream>> live;
    forgetExpired();
    for (const auto &stream : streams)
        if (auto held = stream.lock(); held && held->device() == device) live.push_back(held);
    return live;
}

// At process exit, when this library's statics go (before those of the libraries it
// stands on, OpenCV's among them), the op streams still alive drop their queued
// runs and stop their threads, once the runs under way have ended: no run goes on
// computing while the process takes its libraries down. The dropped runs never report.
struct StopStreamsAtExit {
    ~StopStreamsAtExit() {
        std::vector<std::shared_ptr<Stream>> live;
        {
            std::lock_guard<std::mutex> lock(streamsMutex);
            for (const auto &stream : streams)
                if (auto held = stream.lock()) live.push_back(std::move(held));
        }
        for (const auto &stream : live)
            if (!stream->ownsCurrentThread()) stream->abandon();
    }
} stopStreamsAtExit;

// The last owner of a stream may let go on one of the stream's own threads (a
// report callback that resets the device drops the registry's reference). Those
// threads cannot join themselves, and the stream must outlive them, so it is then
// stopped and freed from a thread of its own once they have finished.
void release(Stream *stream) {
    if (stream->ownsCurrentThread())
        std::thread([stream] { delete stream; }).detach();
    else
        delete stream;
}

// Milliseconds left of a wait that began at `start`.
uint32_t remaining(uint32_t timeoutMs, std::chrono::steady_clock::time_point start) {
    if (timeoutMs == zecl::kWaitForever) return timeoutMs;
    auto spent =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    return spent >= timeoutMs ? 0 : timeoutMs - static_cast<uint32_t>(spent);
}

}  // namespace

// The stream runs on the device selected when it is created.
uint32_t zeclCreateOpStream(zeclOpGraph *graph, uint32_t mode, zeclOpStream **stream) {
    ZESIM_CALL(graph, mode, stream) {
        if (!stream || (mode != zeclBM_ONCE && mode != zeclBM_RUN)) return zeclER_INVALID_PARAM;
        auto found = zesim::find<zecl::Graph>(graph, zesim::Kind::OpGraph);
        if (!found) return zeclER_INVALID_HANDLE;
        uint32_t device = 0;
        if (uint32_t status = zecm::currentDevice(&device)) return status;
        std::shared_ptr<Stream> created(new Stream(std::move(found), static_cast<zeclBalanceMode>(mode), device),
                                        &release);
        {
            std::lock_guard<std::mutex> lock(streamsMutex);
            forgetExpired();  // else a process that never synchronizes a device keeps one entry per stream ever made
            streams.push_back(created);
        }
        *stream = created.get();
        zesim::registerHandle(
            {created.get(), zesim::Kind::OpStream, static_cast<int32_t>(device), 0, created, created});
        return zeclER_SUCCESS;
    };
}

// Refuses new runs, delivers the queued ones (their reports can still take their
// outputs), then releases the stream and its outputs not yet requested.
uint32_t zeclDestroyOpStream(zeclOpStream *stream) {
    ZESIM_CALL(stream) {
        auto found = find(stream);
        if (!found) return zeclER_INVALID_HANDLE;
        if (found->ownsCurrentThread()) return zeclER_STREAM_BUSY;
        found->close();  // the runs queued so far are delivered, their outputs still reachable
        if (!zesim::unregisterHandle(stream, zesim::Kind::OpStream)) return zeclER_INVALID_HANDLE;
        found->shutdown();
        return zeclER_SUCCESS;
    };
}

uint32_t zeclBuildStream(zeclOpStream *stream) {
    ZESIM_CALL(stream) {
        auto found = find(stream);
        return found ? found->build() : static_cast<uint32_t>(zeclER_INVALID_HANDLE);
    };
}

uint32_t zeclSubscribeStreamReport(zeclOpStream *stream, zeclStreamReportCallback callback, void *user) {
    ZESIM_CALL(stream, callback, user) {
        auto found = find(stream);
        if (!found) return zeclER_INVALID_HANDLE;
        if (!callback) return zeclER_INVALID_PARAM;
        found->subscribe(callback, user);
        return zeclER_SUCCESS;
    };
}

uint32_t zeclRunStream(zeclOpStream *stream, zeclOp *inputOp, zecmDataset *inputDataset, uint32_t timeoutMs) {
    ZESIM_CALL(stream, inputOp, inputDataset, timeoutMs) {
        auto found = find(stream);
        if (!found) return zeclER_INVALID_HANDLE;
        if (found->ownsCurrentThread()) return zeclER_STREAM_BUSY;  // would wait for itself
        uint64_t sequence = 0;
        if (uint32_t status = found->submit(inputOp, inputDataset, &sequence)) return status;
        return found->waitRun(sequence, timeoutMs);
    };
}

uint32_t zeclRunStreamAsync(zeclOpStream *stream, zeclOp *inputOp, zecmDataset *inputDataset) {
    ZESIM_CALL(stream, inputOp, inputDataset) {
        auto found = find(stream);
        return found ? found->submit(inputOp, inputDataset, nullptr) : static_cast<uint32_t>(zeclER_INVALID_HANDLE);
    };
}

uint32_t zeclSynchronizeStream(zeclOpStream *stream, uint32_t timeoutMs) {
    ZESIM_CALL(stream, timeoutMs) {
        auto found = find(stream);
        if (!found) return zeclER_INVALID_HANDLE;
        if (found->ownsCurrentThread()) return zeclER_STREAM_BUSY;
        return found->waitIdle(timeoutMs);
    };
}

uint32_t zeclSynchronizeDevice(uint32_t device, uint32_t timeoutMs) {
    ZESIM_CALL(device, timeoutMs) {
        if (uint32_t status = zecm::checkDevice(device)) return status;
        auto start = std::chrono::steady_clock::now();
        for (const auto &stream : streamsOn(device)) {
            if (stream->ownsCurrentThread()) return zeclER_STREAM_BUSY;
            if (uint32_t status = stream->waitIdle(remaining(timeoutMs, start))) return status;
        }
        return zeclER_SUCCESS;
    };
}

uint32_t zeclGetStreamCacheNumber(zeclOpStream *stream, uint32_t *count) {
    ZESIM_CALL(stream, count) {
        auto found = find(stream);
        if (!found) return zeclER_INVALID_HANDLE;
        if (!count) return zeclER_INVALID_PARAM;
        *count = found->cached();
        return zeclER_SUCCESS;
    };
}

uint32_t zeclRequestOutputDataset(zeclOpStream *stream, zecmDataset **dataset) {
    ZESIM_CALL(stream, dataset) {
        auto found = find(stream);
        if (!found) return zeclER_INVALID_HANDLE;
        if (!dataset) return zeclER_INVALID_PARAM;
        void *output = found->takeOutput();
        if (!output) return zeclER_NO_OUTPUT;
        *dataset = output;
        return zeclER_SUCCESS;
    };
}

uint32_t zesimDeliverReport(void *stream, void *p1, void *p2, void *p3, int32_t errorCode, int32_t streamEnd) {
    auto found = find(stream);
    if (!found) return zeclER_INVALID_HANDLE;
    found->deliverReport(p1, p2, p3, errorCode, streamEnd);
    return zeclER_SUCCESS;
}
