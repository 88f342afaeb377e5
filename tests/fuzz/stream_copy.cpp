// The copy of a `stream` record to the runtime's zemeStream (streamBytes, the part of
// the binding's streamToRuntime that decides which bytes the runtime reads) and the
// three calls that take such a record: getVideoInfo, sendStreamToDecoder and
// encReleaseStream. The record is either fresh (its array, an exact heap block here,
// holds the bytes) or filled by a copy from the runtime (a JPEG the encoder handed
// out), with an array of any length; its bus address is 0, inside a device block, or
// anything. Whatever the binding accepts, the runtime reads only the record's bytes,
// and a stream the encoder handed out goes back to it exactly once.
#include <vector>

#include "frame_layout.hpp"
#include "media_setup.hpp"

using namespace halvora::zeme;

namespace {

constexpr uint32_t kEncoder = 0, kDecoder = 0;
constexpr uint32_t kSide = 64;  // the encoded picture is 64x64
const zemeCodecType kCodecs[] = {ZEME_CODEC_DEC_H264, ZEME_CODEC_DEC_HEVC};

// A stream the JPEG encoder hands out, as receiveStream's copy from the runtime leaves it.
zemeStream handedOut() { return fuzz::encodeGrey(kEncoder, kSide, 100); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::initializeMedia();
    fuzz::startJpegEncoder(kEncoder);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Choices in(data, size);
    const uint8_t flags = in.byte();
    const bool filled = flags & 1;  // the record holds the runtime's address
    const zemeCodecType codec = kCodecs[flags >> 1 & 1];
    const bool send = flags & 4;                // sendStreamToDecoder, else getVideoInfo
    const uint32_t busChoice = flags >> 3 & 3;  // bus address: 0, in a device block, as given
    const size_t count = filled ? in.u16() : in.restSize();
    const uint32_t busOffset = in.u16();
    uint64_t busGiven = 0;
    for (int i = 0; i < 8; ++i) busGiven |= uint64_t{in.byte()} << (8 * i);
    // The record's array: exactly `count` bytes (the rest of the input, repeated if need be).
    std::vector<uint8_t> array(count);
    for (size_t i = 0; i < count; ++i) array[i] = in.restSize() ? in.rest()[i % in.restSize()] : uint8_t(i);

    const zemeStream runtime = filled ? handedOut() : zemeStream{};
    zemeStream stream{};
    if (!streamBytes(runtime.data, runtime.dataSize, array.data(), array.size(), &stream)) {
        if (filled)
            FUZZ_CHECK(stream.data == runtime.data && stream.dataSize <= runtime.dataSize);
        else
            FUZZ_CHECK(stream.data == array.data() && stream.dataSize == array.size());
        void *device = nullptr;
        if (busChoice == 1 && zecmMalloc(4096, &device) == 0)
            stream.busAddress = reinterpret_cast<uint64_t>(device) + busOffset;
        if (busChoice >= 2) stream.busAddress = busGiven;
        if (send) {
            zemeDecChannelParameters params{codec, ZEME_SRC_FRAME, ZEME_DEC_NORMAL, ZEME_PIX_FMT_NV12, 0, {0, 0}};
            FUZZ_CHECK(zemeCreateDecoderChannel(&params, kDecoder) == 0);
            FUZZ_CHECK(zemeStartDecoder(kDecoder) == 0);
            zemeSendStreamToDecoder(kDecoder, &stream, 0);
            FUZZ_CHECK(zemeDestroyDecoderChannel(kDecoder) == 0);
        } else {
            zemeDecVideoInfo info{};
            zemeGetVideoInfo(&stream, codec, &info);
        }
        if (device) FUZZ_CHECK(zecmFree(device) == 0);
    } else {
        FUZZ_CHECK(filled && count > runtime.dataSize);
    }
    if (filled) {
        // Released through the record: only a record of the size handed out takes it back.
        zemeStream back{};
        const uint32_t status = streamBytes(runtime.data, runtime.dataSize, array.data(), array.size(), &back)
                                    ? zemeER_RSLT_ERR_UNKNOWN_BUFFER
                                    : zemeEncReleaseStream(kEncoder, &back, 0);
        FUZZ_CHECK((status == 0) == (count == runtime.dataSize));
        if (status) FUZZ_CHECK(zemeEncReleaseStream(kEncoder, &runtime, 0) == 0);
        FUZZ_CHECK(zemeEncReleaseStream(kEncoder, &runtime, 0) == zemeER_RSLT_ERR_UNKNOWN_BUFFER);
    }
    return 0;
}
