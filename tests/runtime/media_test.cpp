// Decoder channels of the media engine on real streams made by the ffmpeg tool:
// pictures bit-exact with the tool's own decode, the pool, misuse, several channels at
// once, and JPEG pictures made by Pillow.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "zecm.h"
#include "zeme.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A scratch directory for the test process, removed at exit.
struct Scratch {
    std::string path;
    Scratch() {
        std::string pattern = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/zeme-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        path = mkdtemp(name.data());
    }
    ~Scratch() { std::system(("rm -rf '" + path + "'").c_str()); }
};

const std::string &scratch() {
    static Scratch directory;
    return directory.path;
}

Bytes readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void run(const std::string &command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }

// A stream made by the ffmpeg tool, with the tool's decode of it to raw NV12.
struct Clip {
    Bytes stream;
    Bytes nv12;
    uint32_t width = 0, height = 0;
    bool hevc = false;
    size_t frames() const { return nv12.size() / (width * height * 3 / 2); }
    Bytes picture(size_t i) const {
        size_t size = width * height * 3 / 2;
        return Bytes(nv12.begin() + i * size, nv12.begin() + (i + 1) * size);
    }
};

const Clip &clip(const std::string &name) {
    static std::map<std::string, Clip> made;
    static const std::map<std::string, std::string> recipes = {
        {"odd",
         "-f lavfi -i testsrc=size=352x290:rate=25 -frames:v 24 -c:v libx264 -bf 2 -x264-params aud=1 -pix_fmt yuv420p "
         "-f h264"},
        {"slices",
         "-f lavfi -i testsrc2=size=320x240:rate=25 -frames:v 12 -c:v libx264 -x264-params slices=4:aud=1 -pix_fmt "
         "yuv420p -f h264"},
        {"baseline",
         "-f lavfi -i testsrc2=size=320x240:rate=30 -frames:v 12 -c:v libx264 -profile:v baseline -x264-params aud=1 "
         "-pix_fmt yuv420p -f h264"},
        {"hevc",
         "-f lavfi -i testsrc=size=352x290:rate=25 -frames:v 12 -c:v libx265 -x265-params log-level=error:aud=1 "
         "-pix_fmt yuv420p -f hevc"},
    };
    auto found = made.find(name);
    if (found != made.end()) return found->second;
    Clip &result = made[name];
    std::string stream = scratch() + "/" + name + ".bin", raw = scratch() + "/" + name + ".yuv";
    run("ffmpeg -nostdin -loglevel error -y " + recipes.at(name) + " " + stream);
    run("ffmpeg -nostdin -loglevel error -y -i " + stream + " -f rawvideo -pix_fmt nv12 " + raw);
    result.stream = readFile(stream);
    result.nv12 = readFile(raw);
    result.hevc = name == "hevc";
    result.width = name == "odd" || name == "hevc" ? 352 : 320;
    result.height = name == "odd" || name == "hevc" ? 290 : 240;
    return result;
}

// Offsets of the start codes (00 00 01, with a leading 00 when there is one).
std::vector<size_t> startCodes(const Bytes &stream) {
    std::vector<size_t> starts;
    for (size_t i = 0; i + 3 <= stream.size(); ++i)
        if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) {
            starts.push_back(i > 0 && stream[i - 1] == 0 ? i - 1 : i);
            i += 2;
        }
    return starts;
}

enum class Pieces { Whole, Chunks, Nals, AccessUnits };

// The stream cut into pieces: one, 1000-byte chunks, NAL units, or access units
// (each starting with an access unit delimiter).
std::vector<Bytes> cut(const Clip &clip, Pieces how) {
    const Bytes &s = clip.stream;
    std::vector<size_t> bounds;
    if (how == Pieces::Whole) bounds = {0};
    if (how == Pieces::Chunks)
        for (size_t i = 0; i < s.size(); i += 1000) bounds.push_back(i);
    if (how == Pieces::Nals || how == Pieces::AccessUnits)
        for (size_t start : startCodes(s)) {
            size_t header = start + (s[start + 2] == 1 ? 3 : 4);
            int type = clip.hevc ? (s[header] >> 1) & 0x3f : s[header] & 0x1f;
            if (how == Pieces::Nals || type == (clip.hevc ? 35 : 9)) bounds.push_back(start);
        }
    bounds.push_back(s.size());
    std::vector<Bytes> pieces;
    for (size_t i = 0; i + 1 < bounds.size(); ++i)
        pieces.emplace_back(s.begin() + bounds[i], s.begin() + bounds[i + 1]);
    return pieces;
}

zemeStream streamOf(const Bytes &bytes, int64_t pts = 0) {
    return {const_cast<uint8_t *>(bytes.data()), static_cast<uint32_t>(bytes.size()), pts, 0};
}

// The display rectangle of a frame as packed NV12, read through the common library's
// memcpy for device frames.
Bytes readNv12(const zemeFrame &frame) {
    Bytes all(frame.dataSize);
    if (frame.memoryType == ZEME_MEM_DEVICE) {
        EXPECT_EQ(
            zecmMemcpy(reinterpret_cast<void *>(frame.busAddress[0]), all.data(), all.size(), zecmCT_COPY_FROM_DEVICE),
            0u);
    } else {
        std::memcpy(all.data(), frame.data[0], all.size());
    }
    const uint32_t w = frame.cropInfo.width, h = frame.cropInfo.height, x = frame.cropInfo.xOffset,
                   y = frame.cropInfo.yOffset, stride = frame.width;
    Bytes out(w * h * 3 / 2);
    const uint8_t *chroma = all.data() + size_t(stride) * frame.height;
    for (uint32_t r = 0; r < h; ++r) std::memcpy(&out[r * w], &all[(y + r) * stride + x], w);
    for (uint32_t r = 0; r < h / 2; ++r)
        for (uint32_t c = 0; c < w / 2; ++c) {
            uint8_t u = 0, v = 0;
            if (frame.pixelFormat == ZEME_PIX_FMT_YUV420P) {
                const uint8_t *uPlane = chroma, *vPlane = chroma + (stride / 2) * (frame.height / 2);
                u = uPlane[(y / 2 + r) * (stride / 2) + x / 2 + c];
                v = vPlane[(y / 2 + r) * (stride / 2) + x / 2 + c];
            } else {
                const uint8_t *pair = chroma + (y / 2 + r) * stride + x + 2 * c;
                u = pair[0], v = pair[1];
                if (frame.pixelFormat == ZEME_PIX_FMT_NV21) std::swap(u, v);
            }
            out[w * h + r * w + 2 * c] = u;
            out[w * h + r * w + 2 * c + 1] = v;
        }
    return out;
}

class Media : public ::testing::Test {
protected:
    void SetUp() override {
        zemeSystemUninitialize();
        zecmUninitialize();
        ASSERT_EQ(zecmInitialize(nullptr), 0u);
        ASSERT_EQ(zecmSetDevice(0), 0u);
        ASSERT_EQ(zemeSystemInitialize(), 0u);
    }
    void TearDown() override {
        zemeSystemUninitialize();
        zecmUninitialize();
    }

    static zemeDecChannelParameters params(zemeCodecType codec, zemePixelFormat format = ZEME_PIX_FMT_NV12,
                                           uint32_t extra = 0) {
        return {codec, ZEME_SRC_FRAME, ZEME_DEC_NORMAL, format, extra, {0, 0}};
    }

    static void open(uint32_t channel, zemeCodecType codec, zemePixelFormat format = ZEME_PIX_FMT_NV12,
                     uint32_t extra = 0) {
        zemeDecChannelParameters p = params(codec, format, extra);
        ASSERT_EQ(zemeCreateDecoderChannel(&p, channel), 0u);
        ASSERT_EQ(zemeStartDecoder(channel), 0u);
    }

    static zemeDecStatus status(uint32_t channel) {
        zemeDecStatus s{};
        EXPECT_EQ(zemeGetDecoderStatus(channel, &s), 0u);
        return s;
    }

    struct Decoded {
        std::vector<Bytes> pictures;
        std::vector<int64_t> pts;
        std::vector<zemeFrameType> types;
    };

    // Sends every piece (pts: its index), ends the input and receives every picture
    // (releasing each), interleaving receives with sends.
    static Decoded decode(uint32_t channel, const std::vector<Bytes> &pieces, zemeDecOutputOptions *options) {
        Decoded out;
        auto take = [&](uint32_t wait) {
            zemeFrame frame{};
            uint32_t result = zemeReceiveFrameFromDecoder(channel, &frame, options, wait);
            if (result != 0) return result;
            out.pictures.push_back(readNv12(frame));
            out.pts.push_back(frame.pts);
            out.types.push_back(frame.frameType);
            EXPECT_EQ(zemeDecReleaseFrame(channel, &frame, 0), 0u);
            return result;
        };
        for (size_t i = 0; i < pieces.size(); ++i) {
            zemeStream piece = streamOf(pieces[i], static_cast<int64_t>(i));
            EXPECT_EQ(zemeSendStreamToDecoder(channel, &piece, ZEME_WAIT_FOREVER), 0u);
            while (take(0) == 0) {}
        }
        zemeStream end{};
        EXPECT_EQ(zemeSendStreamToDecoder(channel, &end, ZEME_WAIT_FOREVER), 0u);
        uint32_t result;
        while ((result = take(ZEME_WAIT_FOREVER)) == 0) {}
        EXPECT_EQ(result, uint32_t{zemeER_RSLT_WARN_EOS});
        return out;
    }

    static void expectPictures(const Clip &clip, const Decoded &decoded) {
        ASSERT_EQ(decoded.pictures.size(), clip.frames());
        for (size_t i = 0; i < clip.frames(); ++i)
            ASSERT_TRUE(decoded.pictures[i] == clip.picture(i)) << "picture " << i;
    }
};

struct VideoCase {
    const char *clip;
    Pieces pieces;
    zemeMemoryType memory;
    uint32_t enableCrop;
    zemePixelFormat format;
};

void PrintTo(const VideoCase &c, std::ostream *out) { *out << c.clip; }

class VideoDecode : public Media, public ::testing::WithParamInterface<VideoCase> {};

std::string videoCaseName(const ::testing::TestParamInfo<VideoCase> &info) {
    const VideoCase &c = info.param;
    const char *pieces[] = {"whole", "chunks", "nals", "units"};
    const char *format = c.format == ZEME_PIX_FMT_NV12 ? "nv12" : c.format == ZEME_PIX_FMT_NV21 ? "nv21" : "yuv420p";
    return std::string(c.clip) + "_" + pieces[int(c.pieces)] + (c.memory == ZEME_MEM_HOST ? "_host" : "_device") +
           (c.enableCrop ? "_cropped_" : "_") + format;
}

TEST_P(VideoDecode, BitExactWithTheFfmpegTool) {
    const VideoCase &c = GetParam();
    const Clip &source = clip(c.clip);
    open(3, source.hevc ? ZEME_CODEC_DEC_HEVC : ZEME_CODEC_DEC_H264, c.format);
    zemeDecOutputOptions options{c.memory, c.enableCrop};
    Decoded decoded = decode(3, cut(source, c.pieces), &options);
    expectPictures(source, decoded);
    EXPECT_TRUE(std::count(decoded.types.begin(), decoded.types.end(), ZEME_FRM_I) >= 1);

    zemeDecStreamInfo info{};
    ASSERT_EQ(zemeGetStreamInfoFromDecoder(3, &info), 0u);
    EXPECT_EQ(info.width, source.width);
    EXPECT_EQ(info.height, source.height);
    EXPECT_EQ(info.pixelSize, source.width * source.height * 3 / 2);
    zemeDecStatus s = status(3);
    EXPECT_EQ(s.state, ZEME_ST_RUNNING);
    EXPECT_EQ(s.result, 0u);
    EXPECT_EQ(s.runningFrames + s.bufferedFrames + s.reorderedFrames + s.droppedFrames, 0u);
}

INSTANTIATE_TEST_SUITE_P(Streams, VideoDecode,
                         ::testing::Values(VideoCase{"odd", Pieces::Whole, ZEME_MEM_HOST, 0, ZEME_PIX_FMT_NV12},
                                           VideoCase{"odd", Pieces::Nals, ZEME_MEM_DEVICE, 0, ZEME_PIX_FMT_NV21},
                                           VideoCase{"odd", Pieces::Chunks, ZEME_MEM_DEVICE, 1, ZEME_PIX_FMT_YUV420P},
                                           VideoCase{"slices", Pieces::Nals, ZEME_MEM_HOST, 0, ZEME_PIX_FMT_YUV420P},
                                           VideoCase{"slices", Pieces::AccessUnits, ZEME_MEM_DEVICE, 1,
                                                     ZEME_PIX_FMT_NV12},
                                           VideoCase{"hevc", Pieces::AccessUnits, ZEME_MEM_HOST, 0, ZEME_PIX_FMT_NV12},
                                           VideoCase{"hevc", Pieces::Chunks, ZEME_MEM_DEVICE, 0, ZEME_PIX_FMT_NV21}),
                         videoCaseName);

TEST_F(Media, FramesCarryTheirLayout) {
    const Clip &source = clip("odd");
    open(0, ZEME_CODEC_DEC_H264, ZEME_PIX_FMT_NV12);
    for (const Bytes &piece : cut(source, Pieces::AccessUnits)) {
        zemeStream s = streamOf(piece);
        ASSERT_EQ(zemeSendStreamToDecoder(0, &s, ZEME_WAIT_FOREVER), 0u);
    }
    zemeDecOutputOptions coded{ZEME_MEM_DEVICE, 0}, cropped{ZEME_MEM_DEVICE, 1};
    zemeFrame a{}, b{}, c{};
    ASSERT_EQ(zemeReceiveFrameFromDecoder(0, &a, &coded, ZEME_WAIT_FOREVER), 0u);
    ASSERT_EQ(zemeReceiveFrameFromDecoder(0, &b, &cropped, ZEME_WAIT_FOREVER), 0u);
    ASSERT_EQ(zemeReceiveFrameFromDecoder(0, &c, nullptr, ZEME_WAIT_FOREVER), 0u);
    // Coded device picture: 352x304 macroblocks, the display rectangle in cropInfo.
    EXPECT_EQ(a.width, 352u);
    EXPECT_EQ(a.height, 304u);
    EXPECT_EQ(a.cropInfo.flag, 1u);
    EXPECT_EQ(a.cropInfo.width, 352u);
    EXPECT_EQ(a.cropInfo.height, 290u);
    EXPECT_EQ(a.data[0], nullptr);
    EXPECT_EQ(a.busAddress[1], a.busAddress[0] + 352 * 304);
    EXPECT_EQ(a.dataSize, 352u * 304 * 3 / 2);
    EXPECT_EQ(a.memoryType, ZEME_MEM_DEVICE);
    EXPECT_EQ(b.height, 290u);
    EXPECT_EQ(b.cropInfo.flag, 0u);
    EXPECT_EQ(c.height, 304u);  // null options: device, uncropped
    // Transfer: the host copy is the display picture, tightly packed.
    zemeFrame copy = a;
    ASSERT_EQ(zemeTransferFrameFromDecoder(0, &copy, 0), 0u);
    EXPECT_EQ(copy.memoryType, ZEME_MEM_HOST);
    EXPECT_EQ(copy.privateData, a.privateData);
    EXPECT_EQ(copy.width, 352u);
    EXPECT_EQ(copy.height, 290u);
    EXPECT_EQ(copy.stride[0], 352u);
    EXPECT_EQ(copy.cropInfo.width, 352u);
    EXPECT_EQ(copy.data[1], copy.data[0] + 352 * 290);
    EXPECT_EQ(copy.dataSize, 352u * 290 * 3 / 2);
    EXPECT_TRUE(readNv12(copy) == source.picture(0));
    EXPECT_TRUE(readNv12(a) == source.picture(0));
    // The host copy releases both; the device frame is then unknown.
    EXPECT_EQ(zemeDecReleaseFrame(0, &copy, 0), 0u);
    EXPECT_EQ(zemeDecReleaseFrame(0, &a, 0), uint32_t{zemeER_RSLT_ERR_UNKNOWN_BUFFER});
    // A frame whose planes were changed is not the card's.
    zemeFrame forged = b;
    forged.busAddress[0] += 64;
    EXPECT_EQ(zemeDecReleaseFrame(0, &forged, 0), uint32_t{zemeER_RSLT_ERR_UNKNOWN_BUFFER});
    forged = b;
    forged.privateData = c.privateData;
    EXPECT_EQ(zemeDecReleaseFrame(0, &forged, 0), uint32_t{zemeER_RSLT_ERR_UNKNOWN_BUFFER});
    EXPECT_EQ(status(0).runningFrames, 2u);
    EXPECT_EQ(zemeDecReleaseFrame(0, &b, 0), 0u);
    EXPECT_EQ(zemeDecReleaseFrame(0, &c, 0), 0u);
    EXPECT_EQ(zemeDecReleaseFrame(0, &c, 0), uint32_t{zemeER_RSLT_ERR_UNKNOWN_BUFFER});
}

TEST_F(Media, PtsFollowTheAccessUnits) {
    for (const char *name : {"baseline", "odd"}) {
        const Clip &source = clip(name);
        open(1, ZEME_CODEC_DEC_H264);
        zemeDecOutputOptions host{ZEME_MEM_HOST, 0};
        std::vector<Bytes> units = cut(source, Pieces::AccessUnits);
        Decoded decoded = decode(1, units, &host);
        ASSERT_EQ(decoded.pts.size(), units.size());
        std::vector<int64_t> sorted = decoded.pts;
        std::sort(sorted.begin(), sorted.end());
        for (size_t i = 0; i < sorted.size(); ++i) EXPECT_EQ(sorted[i], int64_t(i)) << name;
        if (std::string(name) == "baseline")
            EXPECT_EQ(decoded.pts, sorted);  // no reordering
        else
            EXPECT_NE(decoded.pts, sorted);  // B-frames come out reordered
        ASSERT_EQ(zemeDestroyDecoderChannel(1), 0u);
    }
}

TEST_F(Media, IntraOnlyDecodesTheIntraPictures) {
    const Clip &source = clip("slices");  // x264's default: one IDR picture, then P pictures
    zemeDecChannelParameters p = params(ZEME_CODEC_DEC_H264);
    p.decodeMode = ZEME_DEC_INTRA_ONLY;
    ASSERT_EQ(zemeCreateDecoderChannel(&p, 8), 0u);
    ASSERT_EQ(zemeStartDecoder(8), 0u);
    zemeDecOutputOptions host{ZEME_MEM_HOST, 0};
    Decoded decoded = decode(8, cut(source, Pieces::AccessUnits), &host);
    ASSERT_EQ(decoded.pictures.size(), 1u);
    EXPECT_TRUE(decoded.pictures[0] == source.picture(0));
    EXPECT_EQ(decoded.types[0], ZEME_FRM_I);
    EXPECT_EQ(status(8).reorderedFrames, 0u);
}

TEST_F(Media, PoolStallsDecodingUntilPicturesComeBack) {
    const Clip &source = clip("odd");
    open(5, ZEME_CODEC_DEC_H264, ZEME_PIX_FMT_NV12, 0);
    std::vector<Bytes> units = cut(source, Pieces::AccessUnits), stream;
    for (int copy = 0; copy < 3; ++copy) stream.insert(stream.end(), units.begin(), units.end());
    size_t sent = 0;
    uint32_t result = 0;
    for (; sent < stream.size(); ++sent) {
        zemeStream s = streamOf(stream[sent]);
        if ((result = zemeSendStreamToDecoder(5, &s, 50)) != 0) break;
    }
    // 8 pictures, 16 pieces of input and what the decoder holds: the rest must wait.
    ASSERT_EQ(result, uint32_t{zemeER_RSLT_ERR_TIMEOUT});
    // The send may have timed out while the decoder was still filling the pool (a slow
    // run, under a sanitizer): wait for the pool to fill, up to ten seconds.
    zemeDecStatus s = status(5);
    for (int wait = 0; wait < 1000 && s.bufferedFrames < 8; ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        s = status(5);
    }
    EXPECT_EQ(s.bufferedFrames, 8u);
    EXPECT_EQ(s.runningFrames, 0u);
    // Hold every picture of the pool: still no room.
    zemeDecOutputOptions host{ZEME_MEM_HOST, 0};
    std::vector<zemeFrame> held(8);
    for (auto &frame : held) ASSERT_EQ(zemeReceiveFrameFromDecoder(5, &frame, &host, 0), 0u);
    zemeFrame extra{};
    EXPECT_EQ(zemeReceiveFrameFromDecoder(5, &extra, &host, 20), uint32_t{zemeER_RSLT_WARN_MORE_DATA});
    s = status(5);
    EXPECT_EQ(s.runningFrames, 8u);
    EXPECT_EQ(s.bufferedFrames, 0u);
    // Releases let decoding go on; the rest of the stream then decodes bit-exactly.
    std::vector<Bytes> pictures;
    for (auto &frame : held) {
        pictures.push_back(readNv12(frame));
        ASSERT_EQ(zemeDecReleaseFrame(5, &frame, 0), 0u);
    }
    Decoded tail = decode(5, std::vector<Bytes>(stream.begin() + sent, stream.end()), &host);
    pictures.insert(pictures.end(), tail.pictures.begin(), tail.pictures.end());
    ASSERT_EQ(pictures.size(), 3 * source.frames());
    for (size_t i = 0; i < pictures.size(); ++i)
        ASSERT_TRUE(pictures[i] == source.picture(i % source.frames())) << "picture " << i;
}

TEST_F(Media, ResetStopAndStartGiveFreshDecoders) {
    const Clip &source = clip("odd");
    open(7, ZEME_CODEC_DEC_H264, ZEME_PIX_FMT_NV12, 2);
    std::vector<Bytes> units = cut(source, Pieces::AccessUnits);
    zemeDecOutputOptions host{ZEME_MEM_HOST, 0};
    for (size_t i = 0; i < 10; ++i) {
        zemeStream s = streamOf(units[i]);
        ASSERT_EQ(zemeSendStreamToDecoder(7, &s, ZEME_WAIT_FOREVER), 0u);
    }
    zemeFrame kept{};
    ASSERT_EQ(zemeReceiveFrameFromDecoder(7, &kept, &host, ZEME_WAIT_FOREVER), 0u);
    EXPECT_TRUE(readNv12(kept) == source.picture(0));
    ASSERT_EQ(zemeResetDecoder(7), 0u);
    EXPECT_EQ(status(7).state, ZEME_ST_RUNNING);
    expectPictures(source, decode(7, units, &host));  // the whole stream again, from a fresh decoder
    EXPECT_EQ(zemeDecReleaseFrame(7, &kept, 0), 0u);  // handed out before the reset: still valid

    ASSERT_EQ(zemeStopDecoder(7), 0u);
    EXPECT_EQ(status(7).state, ZEME_ST_STOPPED);
    zemeStream s = streamOf(units[0]);
    zemeFrame frame{};
    EXPECT_EQ(zemeSendStreamToDecoder(7, &s, 0), uint32_t{zemeER_RSLT_ERR_STATE});
    EXPECT_EQ(zemeReceiveFrameFromDecoder(7, &frame, &host, 0), uint32_t{zemeER_RSLT_ERR_STATE});
    EXPECT_EQ(zemeStopDecoder(7), uint32_t{zemeER_RSLT_ERR_STATE});
    ASSERT_EQ(zemeStartDecoder(7), 0u);
    expectPictures(source, decode(7, cut(source, Pieces::Chunks), &host));
}

TEST_F(Media, MisuseIsAnsweredWithAStatus) {
    const uint32_t invalidParam = zemeER_RSLT_ERR_INVALID_PARAM, invalidChannel = zemeER_RSLT_ERR_INVALID_CHANNEL,
                   state = zemeER_RSLT_ERR_STATE, unsupported = zemeER_RSLT_ERR_UNSUPPORTED;
    zemeDecChannelParameters p = params(ZEME_CODEC_DEC_H264);
    zemeFrame frame{};
    zemeStream empty{};
    uint32_t count = 0;
    ASSERT_EQ(zemeGetDecoderAvailableChannels(&count), 0u);
    EXPECT_EQ(count, 32u);
    EXPECT_EQ(zemeCreateDecoderChannel(nullptr, 0), invalidParam);
    EXPECT_EQ(zemeCreateDecoderChannel(&p, 32), invalidChannel);
    for (auto bad : {params(ZEME_CODEC_ENC_H264), params(static_cast<zemeCodecType>(7))}) {
        EXPECT_EQ(zemeCreateDecoderChannel(&bad, 0), invalidParam);
    }
    for (auto format : {ZEME_PIX_FMT_RGB24, ZEME_PIX_FMT_YUV444P, ZEME_PIX_FMT_NONE}) {
        zemeDecChannelParameters bad = params(ZEME_CODEC_DEC_H264, format);
        EXPECT_EQ(zemeCreateDecoderChannel(&bad, 0), unsupported);
    }
    zemeDecChannelParameters reserved = p;
    reserved.reserved[1] = 1;
    EXPECT_EQ(zemeCreateDecoderChannel(&reserved, 0), invalidParam);
    reserved = p;
    reserved.extraBufferNumber = 65;
    EXPECT_EQ(zemeCreateDecoderChannel(&reserved, 0), invalidParam);

    ASSERT_EQ(zemeCreateDecoderChannel(&p, 31), 0u);
    EXPECT_EQ(zemeCreateDecoderChannel(&p, 31), uint32_t{zemeER_RSLT_ERR_CHANNEL_EXISTS});
    ASSERT_EQ(zemeGetDecoderAvailableChannels(&count), 0u);
    EXPECT_EQ(count, 31u);
    EXPECT_EQ(status(31).state, ZEME_ST_READY);
    EXPECT_EQ(zemeSendStreamToDecoder(31, &empty, 0), state);  // not started
    EXPECT_EQ(zemeReceiveFrameFromDecoder(31, &frame, nullptr, 0), state);
    EXPECT_EQ(zemeStopDecoder(31), state);
    ASSERT_EQ(zemeStartDecoder(31), 0u);
    EXPECT_EQ(zemeStartDecoder(31), state);
    EXPECT_EQ(zemeSendStreamToDecoder(31, nullptr, 0), invalidParam);
    EXPECT_EQ(zemeReceiveFrameFromDecoder(31, nullptr, nullptr, 0), invalidParam);
    zemeDecOutputOptions flush{ZEME_MEM_FLUSH, 0};
    EXPECT_EQ(zemeReceiveFrameFromDecoder(31, &frame, &flush, 0), invalidParam);
    EXPECT_EQ(zemeReceiveFrameFromDecoder(31, &frame, nullptr, 0), uint32_t{zemeER_RSLT_WARN_MORE_DATA});
    zemeDecStreamInfo info{};
    EXPECT_EQ(zemeGetStreamInfoFromDecoder(31, &info), uint32_t{zemeER_RSLT_WARN_MORE_DATA});
    Bytes huge(ZEME_DEC_MAX_STREAM_BUFFER_SIZE + 1);
    zemeStream big = streamOf(huge);
    EXPECT_EQ(zemeSendStreamToDecoder(31, &big, 0), invalidParam);
    zemeStream nowhere{nullptr, 16, 0, 0}, foreign{nullptr, 16, 0, 0x1000};
    EXPECT_EQ(zemeSendStreamToDecoder(31, &nowhere, 0), invalidParam);
    EXPECT_EQ(zemeSendStreamToDecoder(31, &foreign, 0), invalidParam);
    EXPECT_EQ(zemeJpegSyncDecoder(31, &big, &frame, 0), unsupported);  // a video channel
    EXPECT_EQ(zemeDecReleaseFrame(31, &frame, 0), uint32_t{zemeER_RSLT_ERR_UNKNOWN_BUFFER});
    EXPECT_EQ(zemeTransferFrameFromDecoder(31, &frame, 1), uint32_t{zemeER_RSLT_ERR_UNKNOWN_BUFFER});
    EXPECT_EQ(zemeDecReleaseFrame(31, nullptr, 0), invalidParam);
    // The end of input: afterwards sends are refused and receives report the end, again and again.
    EXPECT_EQ(zemeSendStreamToDecoder(31, &empty, 0), 0u);
    zemeStream some = streamOf(clip("odd").stream);
    EXPECT_EQ(zemeSendStreamToDecoder(31, &some, 0), state);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(zemeReceiveFrameFromDecoder(31, &frame, nullptr, ZEME_WAIT_FOREVER), uint32_t{zemeER_RSLT_WARN_EOS});
    for (uint32_t channel : {30u, 32u, 0xFFFFFFFFu}) {
        EXPECT_EQ(zemeStartDecoder(channel), invalidChannel);
        EXPECT_EQ(zemeSendStreamToDecoder(channel, &some, 0), invalidChannel);
        EXPECT_EQ(zemeDestroyDecoderChannel(channel), invalidChannel);
    }
    EXPECT_EQ(zemeVideoDecGetCaps(ZEME_CODEC_DEC_JPEG, nullptr), invalidParam);
    zemeVideoDecCapability caps{};
    ASSERT_EQ(zemeVideoDecGetCaps(ZEME_CODEC_DEC_HEVC, &caps), 0u);
    EXPECT_EQ(caps.pixelFormats[3], ZEME_PIX_FMT_NONE);
    EXPECT_EQ(caps.maxWidth, 4096u);

    ASSERT_EQ(zemeDestroyDecoderChannel(31), 0u);
    EXPECT_EQ(zemeGetDecoderStatus(31, nullptr), invalidParam);
    zemeDecStatus s{};
    EXPECT_EQ(zemeGetDecoderStatus(31, &s), invalidChannel);
    ASSERT_EQ(zemeSystemUninitialize(), 0u);
    const uint32_t notInit = zemeER_RSLT_ERR_NOT_SYSTEM_INIT;
    EXPECT_EQ(zemeSystemUninitialize(), notInit);
    EXPECT_EQ(zemeCreateDecoderChannel(&p, 0), notInit);
    EXPECT_EQ(zemeGetDecoderAvailableChannels(&count), notInit);
    EXPECT_EQ(zemeReceiveFrameFromDecoder(0, &frame, nullptr, 0), notInit);
    zemeDecJpegInfo jpeg{};
    EXPECT_EQ(zemeGetJpegInfo(&some, &jpeg), notInit);
    ASSERT_EQ(zemeSystemInitialize(), 0u);
    ASSERT_EQ(zemeSystemInitialize(), 0u);  // not counted
    ASSERT_EQ(zemeCreateDecoderChannel(&p, 0), 0u);
}

TEST_F(Media, DeviceFramesNeedTheCommonRuntime) {
    const Clip &source = clip("baseline");
    open(2, ZEME_CODEC_DEC_H264);
    zemeStream s = streamOf(source.stream);
    ASSERT_EQ(zemeSendStreamToDecoder(2, &s, ZEME_WAIT_FOREVER), 0u);
    zemeFrame device{}, host{};
    ASSERT_EQ(zemeReceiveFrameFromDecoder(2, &device, nullptr, ZEME_WAIT_FOREVER), 0u);
    ASSERT_EQ(zecmUninitialize(), 0u);  // takes the device blocks away: the frame stays releasable
    EXPECT_EQ(zemeReceiveFrameFromDecoder(2, &host, nullptr, ZEME_WAIT_FOREVER), uint32_t{zemeER_RSLT_ERR_NO_MEMORY});
    zemeDecOutputOptions options{ZEME_MEM_HOST, 0};
    ASSERT_EQ(zemeReceiveFrameFromDecoder(2, &host, &options, ZEME_WAIT_FOREVER), 0u);  // the same picture
    EXPECT_TRUE(readNv12(host) == source.picture(1));
    EXPECT_EQ(zemeDecReleaseFrame(2, &device, 0), 0u);
    EXPECT_EQ(zemeDecReleaseFrame(2, &host, 0), 0u);
    ASSERT_EQ(zecmInitialize(nullptr), 0u);  // no device selected: device 0
    ASSERT_EQ(zemeReceiveFrameFromDecoder(2, &device, nullptr, ZEME_WAIT_FOREVER), 0u);
    EXPECT_TRUE(readNv12(device) == source.picture(2));
}

TEST_F(Media, BrokenStreamsEndWithoutHarm) {
    std::mt19937 random(7);
    Bytes noise(20000);
    for (auto &byte : noise) byte = static_cast<uint8_t>(random());
    for (size_t i = 0; i < noise.size(); i += 500) noise[i] = 0, noise[i + 1] = 0, noise[i + 2] = 1;
    Bytes damaged = clip("odd").stream;
    for (size_t i = 400; i < damaged.size(); i += 97) damaged[i] ^= 0x55;
    for (const Bytes *stream : {&noise, &damaged}) {
        open(9, ZEME_CODEC_DEC_H264);
        zemeStream s = streamOf(*stream), end{};
        ASSERT_EQ(zemeSendStreamToDecoder(9, &s, ZEME_WAIT_FOREVER), 0u);
        ASSERT_EQ(zemeSendStreamToDecoder(9, &end, ZEME_WAIT_FOREVER), 0u);
        zemeFrame frame{};
        zemeDecOutputOptions host{ZEME_MEM_HOST, 0};
        uint32_t result;
        while ((result = zemeReceiveFrameFromDecoder(9, &frame, &host, ZEME_WAIT_FOREVER)) == 0)
            ASSERT_EQ(zemeDecReleaseFrame(9, &frame, 0), 0u);
        EXPECT_EQ(result, uint32_t{zemeER_RSLT_WARN_EOS});
        zemeDecStatus st = status(9);
        // ERROR stays until a reset; result is the last picture's (clean again after an IDR).
        if (stream == &damaged) {
            EXPECT_EQ(st.state, ZEME_ST_ERROR);
        }
        EXPECT_TRUE(st.result == 0 || st.result == zemeER_RSLT_ERR_BITSTREAM) << st.result;
        ASSERT_EQ(zemeDestroyDecoderChannel(9), 0u);
    }
}

TEST_F(Media, ChannelsDecodeAtOnceFromSeveralThreads) {
    const Clip &h264 = clip("odd");
    const Clip &hevc = clip("hevc");
    std::vector<std::thread> threads;
    std::atomic<int> exact{0};
    for (uint32_t channel = 0; channel < 4; ++channel) {
        const Clip &source = channel % 2 ? hevc : h264;
        open(channel, source.hevc ? ZEME_CODEC_DEC_HEVC : ZEME_CODEC_DEC_H264);
        threads.emplace_back([&, channel] {
            zemeDecOutputOptions options{channel < 2 ? ZEME_MEM_HOST : ZEME_MEM_DEVICE, 1};
            Decoded decoded = decode(channel, cut(source, Pieces::Chunks), &options);
            bool same = decoded.pictures.size() == source.frames();
            for (size_t i = 0; same && i < source.frames(); ++i) same = decoded.pictures[i] == source.picture(i);
            exact += same;
        });
    }
    // Meanwhile a receive waiting without limit on another channel ends with its destruction.
    open(20, ZEME_CODEC_DEC_H264);
    std::atomic<uint32_t> waited{0};
    std::thread waiter([&] {
        zemeFrame frame{};
        waited = zemeReceiveFrameFromDecoder(20, &frame, nullptr, ZEME_WAIT_FOREVER);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(zemeDestroyDecoderChannel(20), 0u);
    waiter.join();
    EXPECT_EQ(waited.load(), uint32_t{zemeER_RSLT_ERR_INVALID_CHANNEL});
    for (auto &thread : threads) thread.join();
    EXPECT_EQ(exact.load(), 4);
}

TEST_F(Media, UninitializeTakesEverythingBack) {
    const Clip &source = clip("odd");
    for (uint32_t channel : {0u, 1u}) {
        open(channel, ZEME_CODEC_DEC_H264, ZEME_PIX_FMT_NV12, 0);
        zemeStream s = streamOf(source.stream);
        ASSERT_EQ(zemeSendStreamToDecoder(channel, &s, ZEME_WAIT_FOREVER), 0u);
    }
    zemeFrame frame{};
    ASSERT_EQ(zemeReceiveFrameFromDecoder(0, &frame, nullptr, ZEME_WAIT_FOREVER), 0u);
    void *block = reinterpret_cast<void *>(frame.busAddress[0]);
    // A sender blocked on a full channel is let go too.
    std::thread sender([&] {
        zemeStream s = streamOf(source.stream);
        for (int i = 0; i < 40; ++i)
            if (zemeSendStreamToDecoder(1, &s, ZEME_WAIT_FOREVER) != 0) return;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(zemeSystemUninitialize(), 0u);
    sender.join();
    EXPECT_EQ(zecmFree(block), uint32_t{zecmER_INVALID_ADDRESS});  // the device picture is gone
    ASSERT_EQ(zemeSystemInitialize(), 0u);
    uint32_t count = 0;
    ASSERT_EQ(zemeGetDecoderAvailableChannels(&count), 0u);
    EXPECT_EQ(count, 32u);
    EXPECT_EQ(zemeDecReleaseFrame(0, &frame, 0), uint32_t{zemeER_RSLT_ERR_INVALID_CHANNEL});
}

TEST_F(Media, VideoInfoFromTheParameterSets) {
    struct Expect {
        const char *clip;
        zemeCodecType codec;
        uint32_t width, height, cropHeight, fps;
    };
    for (const Expect &e :
         {Expect{"odd", ZEME_CODEC_DEC_H264, 352, 304, 290, 25}, Expect{"hevc", ZEME_CODEC_DEC_HEVC, 352, 296, 290, 25},
          Expect{"baseline", ZEME_CODEC_DEC_H264, 320, 240, 240, 30}}) {
        zemeStream s = streamOf(clip(e.clip).stream);
        zemeDecVideoInfo info{};
        ASSERT_EQ(zemeGetVideoInfo(&s, e.codec, &info), 0u) << e.clip;
        EXPECT_EQ(info.width, e.width) << e.clip;
        EXPECT_EQ(info.height, e.height) << e.clip;
        EXPECT_EQ(info.cropFlag, e.height != e.cropHeight) << e.clip;
        EXPECT_EQ(info.cropWidth, 352u == e.width ? 352u : 320u);
        EXPECT_EQ(info.cropHeight, e.cropHeight) << e.clip;
        EXPECT_EQ(info.fps.numerator, e.fps * info.fps.denominator) << e.clip;
        EXPECT_EQ(info.pixelFormat, ZEME_PIX_FMT_YUV420P);
    }
    Bytes junk(100, 0x42);
    zemeStream s = streamOf(junk);
    zemeDecVideoInfo info{};
    EXPECT_EQ(zemeGetVideoInfo(&s, ZEME_CODEC_DEC_H264, &info), uint32_t{zemeER_RSLT_ERR_BITSTREAM});
    EXPECT_EQ(zemeGetVideoInfo(&s, ZEME_CODEC_DEC_JPEG, &info), uint32_t{zemeER_RSLT_ERR_INVALID_PARAM});
}

// JPEG pictures made by Pillow, with the reference planes a Python script computes:
// Y from Pillow's own decode to YCbCr (the same libjpeg-turbo IDCT: exact), chroma
// brought to 4:2:0 by the card's rule from Pillow's planes for 4:4:4 (exact) or from
// the ffmpeg tool's decode for 4:2:0 and 4:2:2 (its IDCT differs: within 1).
struct JpegCase {
    const char *name;
    const char *save;  // Pillow save arguments
    uint32_t width, height;
    const char *mode;  // Pillow image mode
    zemeJpegCodingMode coding;
    zemePixelFormat planes;
    int tolerance;
};

void PrintTo(const JpegCase &c, std::ostream *out) { *out << c.name; }

class JpegDecode : public Media, public ::testing::WithParamInterface<JpegCase> {
protected:
    // Writes name.jpg and name.ref (Y, then U and V at 4:2:0 of the rounded-up size).
    static void make(const JpegCase &c, std::string *jpeg, std::string *reference) {
        *jpeg = scratch() + "/" + c.name + ".jpg";
        *reference = scratch() + "/" + c.name + ".ref";
        std::string script = R"(
import subprocess, sys, numpy as np
from PIL import Image
name, w, h, mode, save = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4], sys.argv[5]
y, x = np.mgrid[0:h, 0:w]
rgb = np.stack([(x * 255 // w), (y * 255 // h), ((x + y) * 7) % 256], -1).astype(np.uint8)
rgb[h // 3: h // 2, w // 4: w // 2] = (250, 20, 60)
img = Image.fromarray(rgb).convert(mode)
img.save(name + '.jpg', **eval('dict(' + save + ')'))
im = Image.open(name + '.jpg'); im.draft('YCbCr', im.size)
planes = np.asarray(im)
luma = planes if planes.ndim == 2 else planes[:, :, 0]
W, H = (w + 1) // 2 * 2, (h + 1) // 2 * 2
def quarter(p, across, down):
    ph, pw = p.shape
    out = np.zeros((H // 2, W // 2), np.uint32)
    for oy in range(H // 2):
        rows = sorted({min(2 * oy // down, ph - 1)} | ({(2 * oy + 1) // down} if (2 * oy + 1) // down < ph else set()))
        for ox in range(W // 2):
            cols = sorted({min(2 * ox // across, pw - 1)} | ({(2 * ox + 1) // across} if (2 * ox + 1) // across < pw else set()))
            block = p[np.ix_(rows, cols)].astype(np.uint32)
            out[oy, ox] = (block.sum() + block.size // 2) // block.size
    return out.astype(np.uint8)
if mode == 'L':
    u = v = np.full((H // 2, W // 2), 128, np.uint8)
elif 'subsampling=0' in save:
    u, v = quarter(planes[:, :, 1], 1, 1), quarter(planes[:, :, 2], 1, 1)
else:
    fmt = 'yuvj422p' if 'subsampling=1' in save else 'yuvj420p'
    raw = subprocess.run(['ffmpeg', '-nostdin', '-loglevel', 'error', '-i', name + '.jpg', '-f', 'rawvideo',
                          '-pix_fmt', fmt, '-'], capture_output=True, check=True).stdout
    cw, ch = (w + 1) // 2, (h + 1) // 2 if fmt == 'yuvj420p' else h
    data = np.frombuffer(raw, np.uint8)
    u = data[w * h: w * h + cw * ch].reshape(ch, cw)
    v = data[w * h + cw * ch: w * h + 2 * cw * ch].reshape(ch, cw)
    down = 2 if fmt == 'yuvj420p' else 1
    u, v = quarter(u, 2, down), quarter(v, 2, down)
with open(name + '.ref', 'wb') as f:
    f.write(np.ascontiguousarray(luma).tobytes()); f.write(u.tobytes()); f.write(v.tobytes())
)";
        std::string scriptPath = scratch() + "/jpeg_reference.py";
        std::ofstream(scriptPath) << script;
        run("cd " + scratch() + " && /usr/bin/python3 " + scriptPath + " " + c.name + " " + std::to_string(c.width) +
            " " + std::to_string(c.height) + " " + c.mode + " \"" + c.save + "\"");
    }
};

TEST_P(JpegDecode, PlanesMatchTheReference) {
    const JpegCase &c = GetParam();
    std::string jpegPath, referencePath;
    ASSERT_NO_FATAL_FAILURE(make(c, &jpegPath, &referencePath));
    Bytes jpeg = readFile(jpegPath), reference = readFile(referencePath);
    zemeStream s = streamOf(jpeg, 77);

    zemeDecJpegInfo info{};
    ASSERT_EQ(zemeGetJpegInfo(&s, &info), 0u);
    EXPECT_EQ(info.width, c.width);
    EXPECT_EQ(info.height, c.height);
    EXPECT_EQ(info.codingMode, c.coding);
    EXPECT_EQ(info.outputFormat, c.planes);
    EXPECT_EQ(info.x_density, 72u);
    EXPECT_EQ(info.y_density, 96u);

    for (zemePixelFormat format : {ZEME_PIX_FMT_NV12, ZEME_PIX_FMT_YUV420P}) {
        open(4, ZEME_CODEC_DEC_JPEG, format);
        zemeFrame frame{};
        ASSERT_EQ(zemeJpegSyncDecoder(4, &s, &frame, 0), 0u);
        const uint32_t W = (c.width + 1) & ~1u, H = (c.height + 1) & ~1u;
        EXPECT_EQ(frame.width, W);
        EXPECT_EQ(frame.height, H);
        EXPECT_EQ(frame.cropInfo.width, W);
        EXPECT_EQ(frame.stride[0], W);
        EXPECT_EQ(frame.memoryType, ZEME_MEM_HOST);
        EXPECT_EQ(frame.pts, 77);
        Bytes planes = readNv12(frame);
        int worst = 0;
        for (uint32_t y = 0; y < c.height; ++y)
            for (uint32_t x = 0; x < c.width; ++x)
                ASSERT_EQ(planes[y * W + x], reference[y * c.width + x]) << x << "," << y;
        const uint8_t *u = reference.data() + c.width * c.height, *v = u + (W / 2) * (H / 2);
        for (uint32_t i = 0; i < (W / 2) * (H / 2); ++i) {
            worst = std::max(worst, std::abs(planes[W * H + 2 * i] - u[i]));
            worst = std::max(worst, std::abs(planes[W * H + 2 * i + 1] - v[i]));
        }
        EXPECT_LE(worst, c.tolerance) << c.name;
        ASSERT_EQ(zemeDecReleaseFrame(4, &frame, 0), 0u);
        ASSERT_EQ(zemeDestroyDecoderChannel(4), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Pillow, JpegDecode,
                         ::testing::Values(JpegCase{"baseline420", "quality=90, dpi=(72, 96)", 320, 240, "RGB",
                                                    ZEME_JPEG_BASELINE, ZEME_PIX_FMT_YUV420P, 1},
                                           JpegCase{"progressive", "quality=85, progressive=True, dpi=(72, 96)", 301,
                                                    203, "RGB", ZEME_JPEG_PROGRESSIVE, ZEME_PIX_FMT_YUV420P, 1},
                                           JpegCase{"full444", "quality=95, subsampling=0, dpi=(72, 96)", 257, 130,
                                                    "RGB", ZEME_JPEG_BASELINE, ZEME_PIX_FMT_YUV444P, 0},
                                           JpegCase{"half422", "quality=90, subsampling=1, dpi=(72, 96)", 200, 151,
                                                    "RGB", ZEME_JPEG_BASELINE, ZEME_PIX_FMT_YUV422P, 1},
                                           JpegCase{"grey", "quality=90, dpi=(72, 96)", 160, 99, "L",
                                                    ZEME_JPEG_BASELINE, ZEME_PIX_FMT_GRAY8, 0}),
                         [](const ::testing::TestParamInfo<JpegCase> &info) { return std::string(info.param.name); });

TEST_F(Media, JpegChannelPoolAndBadPictures) {
    std::string path = scratch() + "/small.jpg";
    run("ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc=size=64x48 -frames:v 1 " + path);
    Bytes jpeg = readFile(path);
    zemeStream s = streamOf(jpeg);
    open(6, ZEME_CODEC_DEC_JPEG, ZEME_PIX_FMT_NV21, 1);
    std::vector<zemeFrame> held(9);
    for (auto &frame : held) ASSERT_EQ(zemeJpegSyncDecoder(6, &s, &frame, 0), 0u);
    zemeFrame frame{};
    EXPECT_EQ(zemeJpegSyncDecoder(6, &s, &frame, 10), uint32_t{zemeER_RSLT_ERR_TIMEOUT});
    EXPECT_EQ(status(6).runningFrames, 9u);
    ASSERT_EQ(zemeDecReleaseFrame(6, &held[0], 0), 0u);
    ASSERT_EQ(zemeJpegSyncDecoder(6, &s, &held[0], 0), 0u);
    for (auto &f : held) ASSERT_EQ(zemeDecReleaseFrame(6, &f, 0), 0u);

    const uint32_t bitstream = zemeER_RSLT_ERR_BITSTREAM;
    Bytes text = {'n', 'o', 't', ' ', 'a', ' ', 'j', 'p', 'e', 'g'};
    Bytes truncated(jpeg.begin(), jpeg.begin() + 20);
    zemeStream empty{}, notJpeg = streamOf(text), cut = streamOf(truncated);
    for (zemeStream *bad : {&empty, &notJpeg, &cut}) {
        EXPECT_EQ(zemeJpegSyncDecoder(6, bad, &frame, 0), bitstream);
        zemeDecJpegInfo info{};
        EXPECT_EQ(zemeGetJpegInfo(bad, &info), bitstream);
    }
    zemeDecStatus st = status(6);
    EXPECT_EQ(st.state, ZEME_ST_ERROR);
    EXPECT_EQ(st.result, bitstream);
    ASSERT_EQ(zemeJpegSyncDecoder(6, &s, &frame, 0), 0u);
    EXPECT_EQ(status(6).state, ZEME_ST_RUNNING);
    zemeDecStreamInfo info{};
    ASSERT_EQ(zemeGetStreamInfoFromDecoder(6, &info), 0u);
    EXPECT_EQ(info.width, 64u);
    EXPECT_EQ(info.pixelSize, 64u * 48 * 3 / 2);
    EXPECT_EQ(zemeSendStreamToDecoder(6, &s, 0), uint32_t{zemeER_RSLT_ERR_UNSUPPORTED});
    ASSERT_EQ(zemeStopDecoder(6), 0u);
    EXPECT_EQ(zemeJpegSyncDecoder(6, &s, &frame, 0), uint32_t{zemeER_RSLT_ERR_STATE});
    EXPECT_EQ(zemeDecReleaseFrame(6, &frame, 0), 0u);
}

// ThreadSanitizer keeps shadow memory for every byte a process ever touched, so resident
// memory says nothing about what the process holds there.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kShadowMemory = true;
#else
constexpr bool kShadowMemory = false;
#endif
#else
constexpr bool kShadowMemory = false;
#endif

// Resident memory of the process, in bytes.
uint64_t residentBytes() {
    std::ifstream statm("/proc/self/statm");
    uint64_t size = 0, resident = 0;
    statm >> size >> resident;
    return resident * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

TEST_F(Media, HostPictureStoreStaysBoundedOverNewSizes) {
    if (kShadowMemory) GTEST_SKIP() << "resident memory includes ThreadSanitizer's shadow";
    // Pictures of ever larger sizes, each released at once: no spare buffer fits the next
    // one, so each goes to the store, which keeps at most 256 MiB of them (the 150 here
    // are some 650 MiB).
    zemeEncChannelParameters params{};
    params.codecType = ZEME_CODEC_ENC_JPEG;
    ASSERT_EQ(zemeCreateEncoderChannel(&params, 20), 0u);
    ASSERT_EQ(zemeStartEncoder(20), 0u);
    open(5, ZEME_CODEC_DEC_JPEG, ZEME_PIX_FMT_NV12);
    constexpr uint32_t kPictures = 150, height = 1024;
    // One source array for every picture, so that the test's own heap stays still.
    Bytes nv12(size_t(1024 + 24 * kPictures) * height * 3 / 2, 128);
    uint64_t before = 0;
    for (uint32_t i = 0; i < kPictures; ++i) {
        const uint32_t width = 1024 + 24 * i;
        zemeFrame source{};
        source.data[0] = nv12.data();
        source.data[1] = nv12.data() + size_t(width) * height;
        source.stride[0] = source.stride[1] = width;
        source.dataSize = width * height * 3 / 2;
        source.width = width;
        source.height = height;
        source.memoryType = ZEME_MEM_HOST;
        source.pixelFormat = ZEME_PIX_FMT_NV12;
        zemeStream encoded{};
        ASSERT_EQ(zemeJpegSyncEncoder(20, &source, &encoded, nullptr, 0), 0u);
        Bytes jpeg(encoded.data, encoded.data + encoded.dataSize);
        ASSERT_EQ(zemeEncReleaseStream(20, &encoded, 0), 0u);
        zemeStream s = streamOf(jpeg);
        zemeFrame frame{};
        ASSERT_EQ(zemeJpegSyncDecoder(5, &s, &frame, 0), 0u);
        ASSERT_EQ(frame.width, width);
        ASSERT_EQ(zemeDecReleaseFrame(5, &frame, 0), 0u);
        if (i == 0) before = residentBytes();
    }
    EXPECT_LT(residentBytes() - before, uint64_t{384} << 20);
}

}  // namespace
