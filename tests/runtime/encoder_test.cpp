// Encoder channels of the media engine: streams checked by the ffmpeg and ffprobe tools
// (pictures, quality, key and B pictures, bit rate, regions of interest), back-pressure,
// misuse, JPEG pictures, several channels at once.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "zecm.h"
#include "zeme.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint32_t kForever = ZEME_WAIT_FOREVER;
constexpr uint32_t kWidth = 192, kHeight = 128;  // small pictures keep the encoders quick

struct Scratch {
    std::string path;
    Scratch() {
        std::string pattern = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/zeme-enc-XXXXXX";
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

void writeFile(const std::string &path, const Bytes &bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()), bytes.size());
}

std::string output(const std::string &command) {
    std::string text;
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe) return text;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, got);
    pclose(pipe);
    return text;
}

// NV12 pictures made by the ffmpeg tool from a lavfi source, one vector each.
std::vector<Bytes> pictures(const std::string &source, uint32_t width, uint32_t height, int count) {
    static std::map<std::string, std::vector<Bytes>> made;
    std::string key = source + std::to_string(width) + "x" + std::to_string(height) + "#" + std::to_string(count);
    auto found = made.find(key);
    if (found != made.end()) return found->second;
    std::string path = scratch() + "/source" + std::to_string(made.size()) + ".nv12";
    std::string command = "ffmpeg -nostdin -loglevel error -y -f lavfi -i '" + source +
                          "=size=" + std::to_string(width) + "x" + std::to_string(height) + ":rate=25' -frames:v " +
                          std::to_string(count) + " -pix_fmt nv12 -f rawvideo " + path;
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    Bytes all = readFile(path);
    const size_t size = size_t(width) * height * 3 / 2;
    std::vector<Bytes> out;
    for (size_t at = 0; at + size <= all.size(); at += size)
        out.emplace_back(all.begin() + at, all.begin() + at + size);
    return made[key] = out;
}

// Peak signal-to-noise ratio of two pictures of the same layout, over every byte.
double psnr(const Bytes &a, const Bytes &b) {
    if (a.size() != b.size() || a.empty()) return 0;
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i) sum += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
    return sum == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * a.size() / sum);
}

// The ffmpeg tool's decode of a stream to NV12 pictures.
std::vector<Bytes> decodeWithTool(const Bytes &stream, const char *format, uint32_t width, uint32_t height) {
    static std::atomic<int> files{0};  // threads decode at once: each its own file
    std::string in = scratch() + "/out" + std::to_string(++files) + "." + format, raw = in + ".nv12";
    writeFile(in, stream);
    std::string command = std::string("ffmpeg -nostdin -loglevel error -y -f ") + format + " -i " + in +
                          " -f rawvideo -pix_fmt nv12 " + raw;
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    Bytes all = readFile(raw);
    const size_t size = size_t(width) * height * 3 / 2;
    std::vector<Bytes> out;
    for (size_t at = 0; at + size <= all.size(); at += size)
        out.emplace_back(all.begin() + at, all.begin() + at + size);
    return out;
}

// ffprobe's view of each picture in display order: key frame flag, type, size.
struct Probed {
    bool key;
    char type;
    uint32_t width, height;
};

std::vector<Probed> probe(const Bytes &stream, const char *format) {
    static std::atomic<int> files{0};
    std::string in = scratch() + "/probe" + std::to_string(++files) + "." + format;
    writeFile(in, stream);
    std::string text = output(std::string("ffprobe -v error -f ") + format +
                              " -show_entries frame=key_frame,pict_type,width,height -of compact=p=0 " + in);
    std::vector<Probed> frames;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("key_frame=") == std::string::npos) continue;  // side data sections
        Probed frame{};
        std::istringstream fields(line);
        for (std::string field; std::getline(fields, field, '|');) {
            auto equals = field.find('=');
            if (equals == std::string::npos) continue;
            std::string name = field.substr(0, equals), value = field.substr(equals + 1);
            if (name == "key_frame") frame.key = value == "1";
            if (name == "pict_type") frame.type = value.empty() ? '?' : value[0];
            if (name == "width") frame.width = std::stoul(value);
            if (name == "height") frame.height = std::stoul(value);
        }
        frames.push_back(frame);
    }
    return frames;
}

// A picture in one of the card's layouts, in host memory or in a device block.
struct Picture {
    Bytes host;
    void *device = nullptr;
    zemeFrame frame{};
    Picture(const Bytes &nv12, uint32_t width, uint32_t height, zemePixelFormat format, zemeMemoryType memory,
            int64_t pts) {
        host = nv12;
        const size_t luma = size_t(width) * height, quarter = luma / 4;
        if (format == ZEME_PIX_FMT_NV21)
            for (size_t i = 0; i < quarter; ++i) std::swap(host[luma + 2 * i], host[luma + 2 * i + 1]);
        if (format == ZEME_PIX_FMT_YUV420P)
            for (size_t i = 0; i < quarter; ++i) {
                host[luma + i] = nv12[luma + 2 * i];
                host[luma + quarter + i] = nv12[luma + 2 * i + 1];
            }
        uint8_t *base = host.data();
        if (memory == ZEME_MEM_DEVICE) {
            EXPECT_EQ(zecmMalloc(host.size(), &device), 0u);
            EXPECT_EQ(zecmMemcpy(host.data(), device, host.size(), zecmCT_COPY_TO_DEVICE), 0u);
            base = static_cast<uint8_t *>(device);
        }
        uint8_t *planes[3] = {base, base + luma, format == ZEME_PIX_FMT_YUV420P ? base + luma + quarter : nullptr};
        for (int i = 0; i < 3; ++i) {
            frame.stride[i] = i == 0 || format != ZEME_PIX_FMT_YUV420P ? (i < 2 ? width : 0) : width / 2;
            if (memory == ZEME_MEM_DEVICE)
                frame.busAddress[i] = reinterpret_cast<uint64_t>(planes[i]);
            else
                frame.data[i] = planes[i];
        }
        frame.dataSize = static_cast<uint32_t>(host.size());
        frame.width = width;
        frame.height = height;
        frame.pts = pts;
        frame.memoryType = memory;
        frame.pixelFormat = format;
    }
    ~Picture() {
        if (device) zecmFree(device);
    }
    Picture(const Picture &) = delete;
};

zemeEncChannelParameters videoParams(zemeCodecType codec, uint32_t width = kWidth, uint32_t height = kHeight) {
    zemeEncChannelParameters p{};
    p.codecType = codec;
    p.videoConfig.width = width;
    p.videoConfig.height = height;
    p.videoConfig.frameRate = {25, 1};
    return p;
}

zemeEncChannelParameters jpegParams(const char *comment = nullptr) {
    zemeEncChannelParameters p{};
    p.codecType = ZEME_CODEC_ENC_JPEG;
    if (comment) {
        p.jpegConfig.userData = comment;
        p.jpegConfig.userDataLength = static_cast<uint32_t>(std::strlen(comment) + 1);
    }
    return p;
}

struct Encoded {
    Bytes stream;
    std::vector<int64_t> pts;
    size_t units = 0;
};

class Encoder : public ::testing::Test {
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

    static void open(uint32_t channel, const zemeEncChannelParameters &params) {
        ASSERT_EQ(zemeCreateEncoderChannel(&params, channel), 0u);
        ASSERT_EQ(zemeStartEncoder(channel), 0u);
    }

    // Takes every stream ready within `wait`, releasing each; the last status.
    static uint32_t take(uint32_t channel, Encoded *out, uint32_t wait) {
        for (;;) {
            zemeStream stream{};
            uint32_t status = zemeReceiveStreamFromEncoder(channel, &stream, wait);
            if (status) return status;
            EXPECT_NE(stream.data, nullptr);
            EXPECT_EQ(stream.busAddress, 0u);
            out->stream.insert(out->stream.end(), stream.data, stream.data + stream.dataSize);
            out->pts.push_back(stream.pts);
            ++out->units;
            EXPECT_EQ(zemeEncReleaseStream(channel, &stream, 0), 0u);
        }
    }

    // Sends the pictures (pts 100 + 10 i; extended parameters of picture i from `extended`),
    // ends the input and takes every stream.
    static Encoded encode(uint32_t channel, const std::vector<Bytes> &source, uint32_t width, uint32_t height,
                          zemePixelFormat format = ZEME_PIX_FMT_NV12, zemeMemoryType memory = ZEME_MEM_HOST,
                          const std::map<size_t, zemeEncExtendedParams> &extended = {}) {
        Encoded out;
        for (size_t i = 0; i < source.size(); ++i) {
            Picture picture(source[i], width, height, format, memory, 100 + 10 * int64_t(i));
            auto found = extended.find(i);
            const zemeEncExtendedParams *params = found == extended.end() ? nullptr : &found->second;
            // Streams are taken while the input waits: the channel may have fewer buffers than
            // the encoder holds pictures.
            for (;;) {
                uint32_t status = zemeSendFrameToEncoder(channel, &picture.frame, params, 20);
                take(channel, &out, 0);
                if (status == zemeER_RSLT_ERR_TIMEOUT) continue;
                EXPECT_EQ(status, 0u);
                break;
            }
        }
        zemeFrame end{};
        end.memoryType = ZEME_MEM_FLUSH;
        EXPECT_EQ(zemeSendFrameToEncoder(channel, &end, nullptr, kForever), 0u);
        EXPECT_EQ(take(channel, &out, kForever), uint32_t{zemeER_RSLT_WARN_EOS});
        EXPECT_EQ(take(channel, &out, 0), uint32_t{zemeER_RSLT_WARN_EOS});  // and again
        return out;
    }

    static double worstPsnr(const std::vector<Bytes> &source, const std::vector<Bytes> &decoded) {
        EXPECT_EQ(decoded.size(), source.size());
        double worst = 99;
        for (size_t i = 0; i < std::min(source.size(), decoded.size()); ++i)
            worst = std::min(worst, psnr(source[i], decoded[i]));
        return worst;
    }
};

const char *formatOf(zemeCodecType codec) { return codec == ZEME_CODEC_ENC_HEVC ? "hevc" : "h264"; }

struct RoundTrip {
    const char *name;
    zemeCodecType codec;
    void (*configure)(zemeEncVideoConfiguration &);
    zemePixelFormat format;
    zemeMemoryType memory;
    double floor;  // dB
};

void PrintTo(const RoundTrip &c, std::ostream *out) { *out << c.name; }

class EncoderRoundTrip : public Encoder, public ::testing::WithParamInterface<RoundTrip> {};

TEST_P(EncoderRoundTrip, ToolsDecodeEveryPicture) {
    const RoundTrip &c = GetParam();
    std::vector<Bytes> source = pictures("testsrc", kWidth, kHeight, 16);
    zemeEncChannelParameters params = videoParams(c.codec);
    c.configure(params.videoConfig);
    open(2, params);
    Encoded encoded = encode(2, source, kWidth, kHeight, c.format, c.memory);
    EXPECT_EQ(encoded.units, source.size());  // one access unit a picture
    ASSERT_GE(encoded.stream.size(), 4u);
    EXPECT_EQ(0, std::memcmp(encoded.stream.data(), "\0\0\0\1", 4));  // Annex B
    std::set<int64_t> pts(encoded.pts.begin(), encoded.pts.end()), sent;
    for (size_t i = 0; i < source.size(); ++i) sent.insert(100 + 10 * int64_t(i));
    EXPECT_EQ(pts, sent);
    std::vector<Probed> probed = probe(encoded.stream, formatOf(c.codec));
    ASSERT_EQ(probed.size(), source.size());
    EXPECT_EQ(probed[0].width, kWidth);
    EXPECT_EQ(probed[0].height, kHeight);
    EXPECT_TRUE(probed[0].key);
    EXPECT_GE(worstPsnr(source, decodeWithTool(encoded.stream, formatOf(c.codec), kWidth, kHeight)), c.floor);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, EncoderRoundTrip,
    ::testing::Values(RoundTrip{"h264_defaults", ZEME_CODEC_ENC_H264, [](zemeEncVideoConfiguration &) {},
                                ZEME_PIX_FMT_NV12, ZEME_MEM_HOST, 42},
                      RoundTrip{"h264_cqp", ZEME_CODEC_ENC_H264,
                                [](zemeEncVideoConfiguration &c) { c.cqp = 34, c.qualityMode = ZEME_BRONZE_QUALITY; },
                                ZEME_PIX_FMT_NV21, ZEME_MEM_DEVICE, 36},
                      RoundTrip{"h264_bitrate", ZEME_CODEC_ENC_H264,
                                [](zemeEncVideoConfiguration &c) {
                                    c.bitRate = 300000, c.vbr = 1, c.profile = ZEME_VIDEO_PRFL_H264_MAIN,
                                    c.level = ZEME_VIDEO_LVL_H264_3_1, c.tune = ZEME_ENC_TUNE_VISUAL;
                                },
                                ZEME_PIX_FMT_YUV420P, ZEME_MEM_HOST, 40},
                      RoundTrip{"hevc_defaults", ZEME_CODEC_ENC_HEVC, [](zemeEncVideoConfiguration &) {},
                                ZEME_PIX_FMT_NV12, ZEME_MEM_DEVICE, 39},
                      RoundTrip{"hevc_crf", ZEME_CODEC_ENC_HEVC,
                                [](zemeEncVideoConfiguration &c) {
                                    c.crf = 36, c.qualityMode = ZEME_SILVER2_QUALITY, c.tune = ZEME_ENC_TUNE_SSIM,
                                    c.level = ZEME_VIDEO_LVL_HEVC_4;
                                },
                                ZEME_PIX_FMT_YUV420P, ZEME_MEM_HOST, 33}),
    [](const ::testing::TestParamInfo<RoundTrip> &info) { return std::string(info.param.name); });

class EncoderCodec : public Encoder, public ::testing::WithParamInterface<zemeCodecType> {};

std::string codecName(const ::testing::TestParamInfo<zemeCodecType> &info) { return formatOf(info.param); }

TEST_P(EncoderCodec, ForceIdrMakesKeyFrames) {
    std::vector<Bytes> source = pictures("testsrc", kWidth, kHeight, 20);
    zemeEncChannelParameters params = videoParams(GetParam());
    params.videoConfig.keyInt = 1000;
    params.videoConfig.qualityMode = ZEME_BRONZE_QUALITY;
    open(0, params);
    zemeEncExtendedParams idr{};
    idr.forceIDR = 1;
    Encoded encoded = encode(0, source, kWidth, kHeight, ZEME_PIX_FMT_NV12, ZEME_MEM_HOST, {{5, idr}, {13, idr}});
    std::vector<Probed> probed = probe(encoded.stream, formatOf(GetParam()));
    ASSERT_EQ(probed.size(), source.size());
    for (size_t i = 0; i < probed.size(); ++i) {
        const bool asked = i == 0 || i == 5 || i == 13;
        EXPECT_EQ(probed[i].key, asked) << "picture " << i;
        if (asked) {
            EXPECT_EQ(probed[i].type, 'I') << "picture " << i;
        }
    }
}

TEST_P(EncoderCodec, BFramesOnlyWhenAsked) {
    std::vector<Bytes> source = pictures("testsrc", kWidth, kHeight, 16);
    for (bool wanted : {true, false}) {
        zemeEncChannelParameters params = videoParams(GetParam());
        params.videoConfig.qualityMode = ZEME_BRONZE_QUALITY;
        if (wanted)
            params.videoConfig.P2B = 3, params.videoConfig.bBPyramid = 1;
        else
            params.videoConfig.gopSize = 1;  // a reference picture every picture: no B pictures
        open(1, params);
        Encoded encoded = encode(1, source, kWidth, kHeight);
        size_t b = 0;
        for (const Probed &frame : probe(encoded.stream, formatOf(GetParam()))) b += frame.type == 'B';
        if (wanted) {
            EXPECT_GT(b, 0u);
        } else {
            EXPECT_EQ(b, 0u);
        }
        ASSERT_EQ(zemeDestroyEncoderChannel(1), 0u);
    }
}

TEST_P(EncoderCodec, BitRateNearTheTarget) {
    const int seconds = 3;
    std::vector<Bytes> source = pictures("testsrc2", kWidth, kHeight, 25 * seconds);
    zemeEncChannelParameters params = videoParams(GetParam());
    params.videoConfig.bitRate = 200000;  // constant bit rate (vbr 0)
    params.videoConfig.qualityMode = ZEME_BRONZE_QUALITY;
    open(4, params);
    Encoded encoded = encode(4, source, kWidth, kHeight);
    const double rate = encoded.stream.size() * 8.0 / seconds;
    EXPECT_GT(rate, 200000 * 0.75);
    EXPECT_LT(rate, 200000 * 1.25);
}

TEST_P(EncoderCodec, RegionsOfInterestGetTheirQuality) {
    std::vector<Bytes> source = pictures("testsrc2", kWidth, kHeight, 8);
    auto regionPsnr = [&](const std::vector<Bytes> &decoded) {  // luma of the left half
        double worst = 99;
        for (size_t i = 0; i < decoded.size(); ++i) {
            Bytes a, b;
            for (uint32_t y = 0; y < kHeight; ++y)
                for (uint32_t x = 0; x < kWidth / 2; ++x) {
                    a.push_back(source[i][y * kWidth + x]);
                    b.push_back(decoded[i][y * kWidth + x]);
                }
            worst = std::min(worst, psnr(a, b));
        }
        return worst;
    };
    double quality[2];
    for (int roi = 0; roi < 2; ++roi) {
        zemeEncChannelParameters params = videoParams(GetParam());
        params.videoConfig.crf = 38;
        params.videoConfig.enableROI = 1;
        params.videoConfig.qualityMode = ZEME_BRONZE_QUALITY;
        open(5, params);
        zemeEncExtendedParams extended{};
        extended.roi[3] = {{uint32_t(roi), 0, 0, kHeight, kWidth / 2}, ZEME_ENC_QP_DELTA, -20};
        std::map<size_t, zemeEncExtendedParams> each;
        for (size_t i = 0; i < source.size(); ++i) each[i] = extended;
        Encoded encoded = encode(5, source, kWidth, kHeight, ZEME_PIX_FMT_NV12, ZEME_MEM_HOST, each);
        quality[roi] = regionPsnr(decodeWithTool(encoded.stream, formatOf(GetParam()), kWidth, kHeight));
        ASSERT_EQ(zemeDestroyEncoderChannel(5), 0u);
    }
    EXPECT_GT(quality[1], quality[0] + 3) << quality[0] << " " << quality[1];
}

INSTANTIATE_TEST_SUITE_P(Codecs, EncoderCodec, ::testing::Values(ZEME_CODEC_ENC_H264, ZEME_CODEC_ENC_HEVC), codecName);

TEST_F(Encoder, OutputBuffersHoldEncodingBack) {
    std::vector<Bytes> source = pictures("testsrc", kWidth, kHeight, 8);
    zemeEncChannelParameters params = videoParams(ZEME_CODEC_ENC_H264);
    params.outbufNum = 2;
    params.videoConfig.qualityMode = ZEME_BRONZE_QUALITY;
    params.videoConfig.gopSize = 1;
    params.videoConfig.lookaheadDepth = 1;
    open(6, params);
    size_t sent = 0;
    uint32_t status = 0;
    // Full once sends keep timing out for about a second: on a loaded machine a single
    // timeout may only mean that the encoder is slow.
    for (int timeouts = 0; sent < 400 && timeouts < 30;) {
        Picture picture(source[sent % source.size()], kWidth, kHeight, ZEME_PIX_FMT_NV12, ZEME_MEM_HOST, int64_t(sent));
        status = zemeSendFrameToEncoder(6, &picture.frame, nullptr, 30);
        if (status == 0)
            ++sent, timeouts = 0;
        else if (status == zemeER_RSLT_ERR_TIMEOUT)
            ++timeouts;
        else
            break;
    }
    ASSERT_EQ(status, uint32_t{zemeER_RSLT_ERR_TIMEOUT});  // 2 buffers, 4 pictures of input, the encoder's own
    zemeStream held[2] = {};
    for (auto &stream : held) ASSERT_EQ(zemeReceiveStreamFromEncoder(6, &stream, 10000), 0u);
    zemeStream more{};
    EXPECT_EQ(zemeReceiveStreamFromEncoder(6, &more, 30), uint32_t{zemeER_RSLT_WARN_MORE_DATA});
    EXPECT_EQ(held[0].pts, 0);
    EXPECT_EQ(held[1].pts, 1);
    for (auto &stream : held) ASSERT_EQ(zemeEncReleaseStream(6, &stream, 0), 0u);
    EXPECT_EQ(zemeEncReleaseStream(6, &held[0], 0), uint32_t{zemeER_RSLT_ERR_UNKNOWN_BUFFER});
    // The rest comes out once there is room again, in order.
    Encoded rest;
    zemeFrame end{};
    ASSERT_EQ(zemeSendFrameToEncoder(6, &end, nullptr, kForever), 0u);
    EXPECT_EQ(take(6, &rest, kForever), uint32_t{zemeER_RSLT_WARN_EOS});
    ASSERT_EQ(rest.pts.size(), sent - 2);
    for (size_t i = 0; i < rest.pts.size(); ++i) EXPECT_EQ(rest.pts[i], int64_t(i + 2));
}

TEST_F(Encoder, JpegPicturesDecodeWithTheirComment) {
    Bytes nv12 = pictures("testsrc", 320, 240, 1)[0];
    const char *comment = "made on the card";
    zemeEncChannelParameters params = jpegParams(comment);
    params.outbufNum = 1;
    open(7, params);
    for (zemePixelFormat format : {ZEME_PIX_FMT_NV12, ZEME_PIX_FMT_YUV420P}) {
        Picture picture(nv12, 320, 240, format, format == ZEME_PIX_FMT_NV12 ? ZEME_MEM_DEVICE : ZEME_MEM_HOST, 42);
        zemeStream stream{}, second{};
        ASSERT_EQ(zemeJpegSyncEncoder(7, &picture.frame, &stream, nullptr, 0), 0u);
        EXPECT_EQ(stream.pts, 42);
        // One output buffer: the next picture waits for it.
        EXPECT_EQ(zemeJpegSyncEncoder(7, &picture.frame, &second, nullptr, 10), uint32_t{zemeER_RSLT_ERR_TIMEOUT});
        Bytes jpeg(stream.data, stream.data + stream.dataSize);
        ASSERT_EQ(zemeEncReleaseStream(7, &stream, 0), 0u);
        // A COM segment right after the JFIF header, without the NUL.
        ASSERT_GT(jpeg.size(), 30u);
        ASSERT_EQ(jpeg[2], 0xFF);
        ASSERT_EQ(jpeg[3], 0xE0);
        size_t at = 4 + (jpeg[4] << 8 | jpeg[5]);
        ASSERT_EQ(jpeg[at], 0xFF);
        ASSERT_EQ(jpeg[at + 1], 0xFE);
        EXPECT_EQ(size_t(jpeg[at + 2] << 8 | jpeg[at + 3]), 2 + std::strlen(comment));
        EXPECT_EQ(std::string(jpeg.begin() + at + 4, jpeg.begin() + at + 4 + std::strlen(comment)), comment);
        // The planes go in as they are: the tool's decode to full-range planes matches them.
        std::string path = scratch() + "/card.jpg", raw = path + ".yuv";
        writeFile(path, jpeg);
        ASSERT_EQ(
            std::system(
                ("ffmpeg -nostdin -loglevel error -y -i " + path + " -f rawvideo -pix_fmt yuvj420p " + raw).c_str()),
            0);
        Bytes planar = readFile(raw), expected(nv12.size());
        const size_t luma = 320 * 240;
        std::memcpy(expected.data(), nv12.data(), luma);
        for (size_t i = 0; i < luma / 4; ++i) {
            expected[luma + i] = nv12[luma + 2 * i];
            expected[luma + luma / 4 + i] = nv12[luma + 2 * i + 1];
        }
        EXPECT_GT(psnr(planar, expected), 38);
    }
    // The configured size must be the frame's.
    zemeEncChannelParameters sized = jpegParams();
    sized.jpegConfig.codingWidth = 320;
    sized.jpegConfig.codingHeight = 200;
    open(8, sized);
    Picture picture(nv12, 320, 240, ZEME_PIX_FMT_NV12, ZEME_MEM_HOST, 0);
    zemeStream stream{};
    EXPECT_EQ(zemeJpegSyncEncoder(8, &picture.frame, &stream, nullptr, 0), uint32_t{zemeER_RSLT_ERR_INVALID_PARAM});
    picture.frame.cropInfo = {1, 320, 200, 0, 20};  // a rectangle of that size is
    ASSERT_EQ(zemeJpegSyncEncoder(8, &picture.frame, &stream, nullptr, 0), 0u);
    std::vector<Probed> probed = probe(Bytes(stream.data, stream.data + stream.dataSize), "jpeg_pipe");
    ASSERT_EQ(probed.size(), 1u);
    EXPECT_EQ(probed[0].width, 320u);
    EXPECT_EQ(probed[0].height, 200u);
    // Video calls on a JPEG channel, JPEG calls on a video channel.
    EXPECT_EQ(zemeSendFrameToEncoder(8, &picture.frame, nullptr, 0), uint32_t{zemeER_RSLT_ERR_UNSUPPORTED});
    EXPECT_EQ(zemeReceiveStreamFromEncoder(8, &stream, 0), uint32_t{zemeER_RSLT_ERR_UNSUPPORTED});
    open(9, videoParams(ZEME_CODEC_ENC_H264));
    EXPECT_EQ(zemeJpegSyncEncoder(9, &picture.frame, &stream, nullptr, 0), uint32_t{zemeER_RSLT_ERR_UNSUPPORTED});
    // Lossless JPEG is not made; user data is read up to its length only.
    zemeEncChannelParameters lossless = jpegParams();
    lossless.jpegConfig.losslessEn = 1;
    EXPECT_EQ(zemeCreateEncoderChannel(&lossless, 10), uint32_t{zemeER_RSLT_ERR_UNSUPPORTED});
    char unterminated[4] = {'a', 'b', 'c', 'd'};
    zemeEncChannelParameters partial = jpegParams();
    partial.jpegConfig.userData = unterminated;
    partial.jpegConfig.userDataLength = 3;
    open(10, partial);
    ASSERT_EQ(zemeJpegSyncEncoder(10, &picture.frame, &stream, nullptr, 0), 0u);
    Bytes jpeg(stream.data, stream.data + stream.dataSize);
    size_t at = 4 + (jpeg[4] << 8 | jpeg[5]);
    EXPECT_EQ(std::string(jpeg.begin() + at + 2, jpeg.begin() + at + 7), std::string("\0\5abc", 5));
}

struct BadConfig {
    const char *name;
    zemeCodecType codec;
    void (*change)(zemeEncChannelParameters &);
    uint32_t status;
};

void PrintTo(const BadConfig &c, std::ostream *out) { *out << c.name; }

class EncoderConfig : public Encoder, public ::testing::WithParamInterface<BadConfig> {};

TEST_P(EncoderConfig, IsCheckedAtCreation) {
    const BadConfig &c = GetParam();
    zemeEncChannelParameters params = videoParams(c.codec);
    c.change(params);
    EXPECT_EQ(zemeCreateEncoderChannel(&params, 11), c.status);
    uint32_t count = 0;
    ASSERT_EQ(zemeGetEncoderAvailableChannels(&count), 0u);
    EXPECT_EQ(count, c.status ? 32u : 31u);
}

using Params = zemeEncChannelParameters;
constexpr uint32_t kInvalid = zemeER_RSLT_ERR_INVALID_PARAM, kUnsupported = zemeER_RSLT_ERR_UNSUPPORTED;

INSTANTIATE_TEST_SUITE_P(
    Records, EncoderConfig,
    ::testing::Values(
        BadConfig{"no_width", ZEME_CODEC_ENC_H264, [](Params &p) { p.videoConfig.width = 0; }, kInvalid},
        BadConfig{"odd_height", ZEME_CODEC_ENC_H264, [](Params &p) { p.videoConfig.height = 129; }, kUnsupported},
        BadConfig{"too_small", ZEME_CODEC_ENC_HEVC, [](Params &p) { p.videoConfig.width = 62; }, kUnsupported},
        BadConfig{"too_large", ZEME_CODEC_ENC_H264, [](Params &p) { p.videoConfig.height = 8194; }, kUnsupported},
        BadConfig{"ten_bits", ZEME_CODEC_ENC_H264, [](Params &p) { p.videoConfig.bitDepthLuma = 10; }, kUnsupported},
        BadConfig{"high10", ZEME_CODEC_ENC_H264, [](Params &p) { p.videoConfig.profile = ZEME_VIDEO_PRFL_H264_HIGH_10; }, kUnsupported},
        BadConfig{"main10", ZEME_CODEC_ENC_HEVC, [](Params &p) { p.videoConfig.profile = ZEME_VIDEO_PRFL_HEVC_MAIN_10; }, kUnsupported},
        BadConfig{"hevc_profile_of_h264", ZEME_CODEC_ENC_HEVC, [](Params &p) { p.videoConfig.profile = ZEME_VIDEO_PRFL_H264_HIGH; }, kInvalid},
        BadConfig{"level_unknown", ZEME_CODEC_ENC_H264, [](Params &p) { p.videoConfig.level = ZEME_VIDEO_LVL_HEVC_4; }, kInvalid},
        BadConfig{"quality_mode", ZEME_CODEC_ENC_H264, [](Params &p) { p.videoConfig.qualityMode = zemeEncQualityMode(4); }, kInvalid},
        BadConfig{"tune", ZEME_CODEC_ENC_HEVC, [](Params &p) { p.videoConfig.tune = zemeEncTuneType(7); }, kInvalid},
        BadConfig{"two_rate_modes", ZEME_CODEC_ENC_H264, [](Params &p) { p.videoConfig.cqp = 30, p.videoConfig.bitRate = 100000; }, kInvalid},
        BadConfig{"crf_range", ZEME_CODEC_ENC_H264, [](Params &p) { p.videoConfig.crf = 52; }, kInvalid},
        BadConfig{"qp_range", ZEME_CODEC_ENC_HEVC, [](Params &p) { p.videoConfig.qpMinPB = 40, p.videoConfig.qpMaxI = 30; }, kInvalid},
        BadConfig{"gop_size", ZEME_CODEC_ENC_H264, [](Params &p) { p.videoConfig.gopSize = 17; }, kInvalid},
        BadConfig{"gop_and_b", ZEME_CODEC_ENC_H264, [](Params &p) { p.videoConfig.gopSize = 4, p.videoConfig.P2B = 2; }, kInvalid},
        BadConfig{"lookahead", ZEME_CODEC_ENC_H264, [](Params &p) { p.videoConfig.lookaheadDepth = 251; }, kInvalid},
        BadConfig{"aq_strength", ZEME_CODEC_ENC_H264, [](Params &p) { p.videoConfig.aqStrength = 3.5f; }, kInvalid},
        BadConfig{"outbufs", ZEME_CODEC_ENC_H264, [](Params &p) { p.outbufNum = ZEME_ENC_MAX_OUTBUF_NUM + 1; }, kInvalid},
        BadConfig{"decoder_codec", ZEME_CODEC_DEC_H264, [](Params &) {}, kInvalid},
        BadConfig{"jpeg_size", ZEME_CODEC_ENC_JPEG, [](Params &p) { p.jpegConfig = {}, p.jpegConfig.codingWidth = 16; }, kUnsupported},
        BadConfig{"every_option", ZEME_CODEC_ENC_H264,
                  [](Params &p) {
                      zemeEncVideoConfiguration &c = p.videoConfig;
                      c.profile = ZEME_VIDEO_PRFL_H264_BASELINE, c.level = ZEME_VIDEO_LVL_H264_1_b, c.frameRate = {30000, 1001};
                      c.bitDepthLuma = c.bitDepthChroma = 8, c.keyInt = 30, c.gopSize = ZEME_ENC_DEFAULT_PAR, c.lookaheadDepth = 10;
                      c.qualityMode = ZEME_SILVER_QUALITY, c.tune = ZEME_ENC_TUNE_SHARP_VISUAL, c.crf = 28, c.vbvMaxRate = 500000;
                      c.intraQpDelta = 3, c.qpMinI = 10, c.qpMaxPB = 45, c.aqStrength = 1.2f, c.enableROI = 1;
                      c.gdrDuration = 9, c.llRc = 1, c.maxFrameSizeMultiple = 2.5f, c.initQp = 30;  // ignored
                      p.outbufNum = ZEME_ENC_MAX_OUTBUF_NUM, p.enProfiling = 1;
                  },
                  0u},
        BadConfig{"hevc_every_option", ZEME_CODEC_ENC_HEVC,
                  [](Params &p) {
                      zemeEncVideoConfiguration &c = p.videoConfig;
                      c.level = ZEME_VIDEO_LVL_HEVC_5_1, c.keyInt = 50, c.P2B = 2, c.bBPyramid = 1, c.bitRate = 1000000;
                      c.vbvBufSize = 2000000, c.qualityMode = ZEME_BRONZE_QUALITY, c.tune = ZEME_ENC_TUNE_PSNR;
                      c.enableROI = 1, c.crf = -1, c.cqp = ZEME_ENC_DEFAULT_PAR;
                  },
                  0u}),
    [](const ::testing::TestParamInfo<BadConfig> &info) { return std::string(info.param.name); });

TEST_F(Encoder, MisuseIsAnsweredWithAStatus) {
    const uint32_t invalidParam = zemeER_RSLT_ERR_INVALID_PARAM, invalidChannel = zemeER_RSLT_ERR_INVALID_CHANNEL,
                   state = zemeER_RSLT_ERR_STATE, unsupported = zemeER_RSLT_ERR_UNSUPPORTED;
    Bytes nv12 = pictures("testsrc", kWidth, kHeight, 1)[0];
    Picture picture(nv12, kWidth, kHeight, ZEME_PIX_FMT_NV12, ZEME_MEM_HOST, 0);
    zemeEncChannelParameters p = videoParams(ZEME_CODEC_ENC_H264);
    zemeStream stream{};
    EXPECT_EQ(zemeCreateEncoderChannel(nullptr, 0), invalidParam);
    EXPECT_EQ(zemeCreateEncoderChannel(&p, 32), invalidChannel);
    ASSERT_EQ(zemeCreateEncoderChannel(&p, 31), 0u);
    EXPECT_EQ(zemeCreateEncoderChannel(&p, 31), uint32_t{zemeER_RSLT_ERR_CHANNEL_EXISTS});
    // Not started yet.
    EXPECT_EQ(zemeSendFrameToEncoder(31, &picture.frame, nullptr, 0), state);
    EXPECT_EQ(zemeReceiveStreamFromEncoder(31, &stream, 0), state);
    EXPECT_EQ(zemeStopEncoder(31), state);
    EXPECT_EQ(zemeResetEncoder(31), 0u);
    ASSERT_EQ(zemeStartEncoder(31), 0u);
    EXPECT_EQ(zemeStartEncoder(31), state);
    EXPECT_EQ(zemeSendFrameToEncoder(31, nullptr, nullptr, 0), invalidParam);
    EXPECT_EQ(zemeReceiveStreamFromEncoder(31, nullptr, 0), invalidParam);
    EXPECT_EQ(zemeEncReleaseStream(31, nullptr, 0), invalidParam);
    EXPECT_EQ(zemeReceiveStreamFromEncoder(31, &stream, 0), uint32_t{zemeER_RSLT_WARN_MORE_DATA});
    // Frames the channel cannot take.
    auto refused = [&](void (*change)(zemeFrame &), uint32_t status) {
        zemeFrame bad = picture.frame;
        change(bad);
        EXPECT_EQ(zemeSendFrameToEncoder(31, &bad, nullptr, 0), status);
    };
    refused([](zemeFrame &f) { f.width = kWidth - 2; }, invalidParam);
    refused([](zemeFrame &f) { f.height = kHeight + 2; }, invalidParam);
    refused([](zemeFrame &f) { f.pixelFormat = ZEME_PIX_FMT_RGB24; }, unsupported);
    refused([](zemeFrame &f) { f.pixelFormat = ZEME_PIX_FMT_YUV420P; }, invalidParam);  // no third plane
    refused([](zemeFrame &f) { f.data[1] = nullptr; }, invalidParam);
    refused([](zemeFrame &f) { f.stride[0] = kWidth - 1; }, invalidParam);
    refused([](zemeFrame &f) { f.memoryType = zemeMemoryType(7); }, invalidParam);
    refused([](zemeFrame &f) { f.cropInfo = {1, kWidth, kHeight, 2, 0}; }, invalidParam);  // outside the planes
    refused([](zemeFrame &f) { f.cropInfo = {1, kWidth - 1, kHeight, 0, 0}; }, invalidParam);
    refused([](zemeFrame &f) { f.memoryType = ZEME_MEM_DEVICE, f.busAddress[0] = 0x1000, f.busAddress[1] = 0x9000; },
            invalidParam);
    Picture device(nv12, kWidth, kHeight, ZEME_PIX_FMT_NV12, ZEME_MEM_DEVICE, 0);
    zemeFrame past = device.frame;
    past.busAddress[1] += 2;  // the chroma plane's last row past the end of its block
    EXPECT_EQ(zemeSendFrameToEncoder(31, &past, nullptr, 0), invalidParam);
    past = device.frame;
    past.busAddress[0] = reinterpret_cast<uint64_t>(picture.frame.data[0]);  // host memory
    EXPECT_EQ(zemeSendFrameToEncoder(31, &past, nullptr, 0), invalidParam);
    zemeEncExtendedParams extended{};
    extended.reserved[2] = 1;
    EXPECT_EQ(zemeSendFrameToEncoder(31, &picture.frame, &extended, 0), invalidParam);
    extended = {};
    extended.externalSEINum = 2;  // without its array
    EXPECT_EQ(zemeSendFrameToEncoder(31, &picture.frame, &extended, 0), invalidParam);
    extended = {};
    extended.roi[0] = {{1, 0, 0, 16, 16}, ZEME_ENC_QP, 20};  // ROI off on this channel: not looked at
    zemeEncExtendedParams sei{};
    static uint8_t payload[4] = {1, 2, 3, 4};
    zemeEncExternalSEI message{ZEME_ENC_SEI_PREFIX, 5, 4, payload};
    sei.externalSEINum = 1;
    sei.externalSEI = &message;
    EXPECT_EQ(zemeSendFrameToEncoder(31, &picture.frame, &extended, 0), 0u);
    EXPECT_EQ(zemeSendFrameToEncoder(31, &picture.frame, &sei, 0), 0u);
    zemeFrame oneStride = picture.frame;
    oneStride.stride[1] = 0;  // the chroma's stride is the luma's
    EXPECT_EQ(zemeSendFrameToEncoder(31, &oneStride, nullptr, kForever), 0u);
    // Releasing what the channel did not hand out.
    stream = {nv12.data(), 10, 0, 0};
    EXPECT_EQ(zemeEncReleaseStream(31, &stream, 0), uint32_t{zemeER_RSLT_ERR_UNKNOWN_BUFFER});
    // The end of input: later sends are refused, receives end in WARN_EOS every time.
    zemeFrame end{};
    ASSERT_EQ(zemeSendFrameToEncoder(31, &end, nullptr, 0), 0u);
    EXPECT_EQ(zemeSendFrameToEncoder(31, &picture.frame, nullptr, 0), state);
    EXPECT_EQ(zemeSendFrameToEncoder(31, &end, nullptr, 0), state);
    Encoded out;
    EXPECT_EQ(take(31, &out, kForever), uint32_t{zemeER_RSLT_WARN_EOS});
    EXPECT_EQ(out.units, 3u);
    zemeStream other{};
    EXPECT_EQ(zemeReceiveStreamFromEncoder(31, &other, kForever), uint32_t{zemeER_RSLT_WARN_EOS});

    // ROI on a channel that takes them: absolute QPs are refused, areas must lie in the picture.
    zemeEncChannelParameters roi = p;
    roi.videoConfig.enableROI = 1;
    open(30, roi);
    EXPECT_EQ(zemeSendFrameToEncoder(30, &picture.frame, &extended, 0), unsupported);
    extended.roi[0] = {{1, 0, 0, kHeight + 2, 16}, ZEME_ENC_QP_DELTA, -5};
    EXPECT_EQ(zemeSendFrameToEncoder(30, &picture.frame, &extended, 0), invalidParam);
    extended.roi[0] = {{1, 0, 0, 16, 16}, ZEME_ENC_QP_DELTA, 60};
    EXPECT_EQ(zemeSendFrameToEncoder(30, &picture.frame, &extended, 0), invalidParam);

    for (uint32_t channel : {29u, 32u, 0xFFFFFFFFu}) {
        EXPECT_EQ(zemeStartEncoder(channel), invalidChannel);
        EXPECT_EQ(zemeSendFrameToEncoder(channel, &picture.frame, nullptr, 0), invalidChannel);
        EXPECT_EQ(zemeReceiveStreamFromEncoder(channel, &stream, 0), invalidChannel);
        EXPECT_EQ(zemeEncReleaseStream(channel, &stream, 0), invalidChannel);
        EXPECT_EQ(zemeDestroyEncoderChannel(channel), invalidChannel);
    }
    EXPECT_EQ(zemeGetEncoderAvailableChannels(nullptr), invalidParam);
    ASSERT_EQ(zemeSystemUninitialize(), 0u);
    const uint32_t notInit = zemeER_RSLT_ERR_NOT_SYSTEM_INIT;
    uint32_t count = 0;
    EXPECT_EQ(zemeCreateEncoderChannel(&p, 0), notInit);
    EXPECT_EQ(zemeGetEncoderAvailableChannels(&count), notInit);
    EXPECT_EQ(zemeSendFrameToEncoder(31, &picture.frame, nullptr, 0), notInit);
    EXPECT_EQ(zemeReceiveStreamFromEncoder(31, &stream, 0), notInit);
    EXPECT_EQ(zemeJpegSyncEncoder(31, &picture.frame, &stream, nullptr, 0), notInit);
    EXPECT_EQ(zemeDestroyEncoderChannel(31), notInit);
}

TEST_F(Encoder, ResetStopAndStartGiveFreshStreams) {
    std::vector<Bytes> source = pictures("testsrc", kWidth, kHeight, 10);
    zemeEncChannelParameters params = videoParams(ZEME_CODEC_ENC_HEVC);
    params.videoConfig.qualityMode = ZEME_BRONZE_QUALITY;
    open(12, params);
    for (int i = 0; i < 6; ++i) {
        Picture picture(source[i], kWidth, kHeight, ZEME_PIX_FMT_NV12, ZEME_MEM_HOST, i);
        ASSERT_EQ(zemeSendFrameToEncoder(12, &picture.frame, nullptr, kForever), 0u);
    }
    ASSERT_EQ(zemeResetEncoder(12), 0u);  // what was sent is dropped; a new stream follows
    Encoded after = encode(12, source, kWidth, kHeight);
    EXPECT_EQ(after.units, source.size());
    EXPECT_EQ(decodeWithTool(after.stream, "hevc", kWidth, kHeight).size(), source.size());
    ASSERT_EQ(zemeStopEncoder(12), 0u);
    Picture picture(source[0], kWidth, kHeight, ZEME_PIX_FMT_NV12, ZEME_MEM_HOST, 0);
    EXPECT_EQ(zemeSendFrameToEncoder(12, &picture.frame, nullptr, 0), uint32_t{zemeER_RSLT_ERR_STATE});
    ASSERT_EQ(zemeStartEncoder(12), 0u);
    Encoded again = encode(12, source, kWidth, kHeight);
    EXPECT_EQ(decodeWithTool(again.stream, "hevc", kWidth, kHeight).size(), source.size());
}

TEST_F(Encoder, ChannelsEncodeAtOnceAndDestructionLetsWaitersGo) {
    std::vector<Bytes> source = pictures("testsrc", kWidth, kHeight, 12);
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (uint32_t channel = 0; channel < 4; ++channel) {
        zemeEncChannelParameters params = videoParams(channel % 2 ? ZEME_CODEC_ENC_HEVC : ZEME_CODEC_ENC_H264);
        params.videoConfig.qualityMode = ZEME_BRONZE_QUALITY;
        params.outbufNum = 1 + channel;
        open(channel, params);
        threads.emplace_back([&, channel] {
            Encoded encoded = encode(channel, source, kWidth, kHeight,
                                     channel < 2 ? ZEME_PIX_FMT_NV12 : ZEME_PIX_FMT_YUV420P,
                                     channel % 3 ? ZEME_MEM_HOST : ZEME_MEM_DEVICE);
            std::vector<Bytes> decoded = decodeWithTool(encoded.stream, channel % 2 ? "hevc" : "h264", kWidth, kHeight);
            good += decoded.size() == source.size() && worstPsnr(source, decoded) > 30;
        });
    }
    // A receive waiting without limit, and a stream handed out, on a channel destroyed meanwhile.
    open(20, videoParams(ZEME_CODEC_ENC_H264));
    std::atomic<uint32_t> waited{0};
    std::thread waiter([&] {
        zemeStream stream{};
        waited = zemeReceiveStreamFromEncoder(20, &stream, kForever);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(zemeDestroyEncoderChannel(20), 0u);
    waiter.join();
    EXPECT_EQ(waited.load(), uint32_t{zemeER_RSLT_ERR_INVALID_CHANNEL});
    for (auto &thread : threads) thread.join();
    EXPECT_EQ(good.load(), 4);
    uint32_t count = 0;
    ASSERT_EQ(zemeGetEncoderAvailableChannels(&count), 0u);
    EXPECT_EQ(count, 28u);
}

TEST_F(Encoder, UninitializeTakesEverythingBack) {
    Bytes nv12 = pictures("testsrc", kWidth, kHeight, 1)[0];
    open(0, jpegParams());
    Picture picture(nv12, kWidth, kHeight, ZEME_PIX_FMT_NV12, ZEME_MEM_HOST, 0);
    zemeStream stream{};
    ASSERT_EQ(zemeJpegSyncEncoder(0, &picture.frame, &stream, nullptr, 0), 0u);
    zemeEncChannelParameters params = videoParams(ZEME_CODEC_ENC_H264);
    params.outbufNum = 1;
    params.videoConfig.gopSize = 1;
    params.videoConfig.lookaheadDepth = 1;
    open(1, params);
    // A sender blocked on a full channel is let go too.
    std::thread sender([&] {
        for (int i = 0; i < 400; ++i)
            if (zemeSendFrameToEncoder(1, &picture.frame, nullptr, kForever) != 0) return;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(zemeSystemUninitialize(), 0u);
    sender.join();
    ASSERT_EQ(zemeSystemInitialize(), 0u);
    uint32_t count = 0;
    ASSERT_EQ(zemeGetEncoderAvailableChannels(&count), 0u);
    EXPECT_EQ(count, 32u);
    EXPECT_EQ(zemeEncReleaseStream(0, &stream, 0), uint32_t{zemeER_RSLT_ERR_INVALID_CHANNEL});
}

}  // namespace
