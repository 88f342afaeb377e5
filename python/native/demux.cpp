// Demuxing: a source (file or URL) read packet by packet, as Annex B access units.
//
// libavformat opens the source and picks its best video stream; packets of containers that
// store H.264/HEVC with length prefixes (MP4, MOV, MKV, FLV) go through libavcodec's
// h264_mp4toannexb / hevc_mp4toannexb filters, which also put the parameter sets in front of
// key frames; sources that are Annex B already (MPEG-TS, raw streams, RTSP) have the parameter
// sets libavformat found (the RTSP session description's among them) put in front of their
// first packet. Every wait (opening, reading) is bounded by an interrupt callback.
#include "av.hpp"

#include <pybind11/stl.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <tuple>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
}

namespace halvora::av {

namespace {

// An OSError raised in Python with its errno (so that ECONNREFUSED is ConnectionRefusedError,
// ETIMEDOUT TimeoutError, ENOENT FileNotFoundError...), 0 when libavformat's code is none.
struct SourceError {
    int number;
    std::string text;
};

using Clock = std::chrono::steady_clock;

std::string rationalText(AVRational value) { return std::to_string(value.num) + "/" + std::to_string(value.den); }

class Source {
public:
    Source(std::string url, const std::map<std::string, std::string> &options, double timeout)
        : url_(std::move(url)), timeout_(timeout) {
        if (!(timeout > 0)) throw std::invalid_argument("timeout " + std::to_string(timeout) + ": seconds, above 0");
        packet_ = av_packet_alloc();
        filtered_ = av_packet_alloc();
        context_ = avformat_alloc_context();
        if (!packet_ || !filtered_ || !context_) {
            free();
            throw std::bad_alloc();
        }
        context_->interrupt_callback = {&Source::interruptCallback, this};
        try {
            open(options);
        } catch (...) {
            free();
            throw;
        }
    }

    ~Source() {
        interrupted_ = true;  // closing a network session does not wait for its peer
        free();
    }

    // The next access unit: (Annex B bytes, pts, dts, key), or nothing at the end.
    std::optional<std::tuple<std::string, std::optional<int64_t>, std::optional<int64_t>, bool>> read() {
        std::lock_guard<std::mutex> hold(lock_);
        if (!context_) throw std::invalid_argument(url_ + ": the source is closed");
        Armed armed(*this);
        for (;;) {
            if (filter_) {
                int status = av_bsf_receive_packet(filter_, filtered_);
                if (status == 0) return take(filtered_);
                if (status == AVERROR_EOF) return std::nullopt;
                if (status != AVERROR(EAGAIN)) fail("converting a packet to Annex B", status);
            }
            if (ended_) return std::nullopt;
            int status = av_read_frame(context_, packet_);
            if (status == AVERROR_EOF) {
                ended_ = true;
                if (!filter_) return std::nullopt;
                av_bsf_send_packet(filter_, nullptr);  // the filter's last packets
                continue;
            }
            if (status < 0) fail("reading", status);
            if (packet_->stream_index != stream_) {
                av_packet_unref(packet_);
                continue;
            }
            if (!filter_) return take(packet_);
            status = av_bsf_send_packet(filter_, packet_);
            av_packet_unref(packet_);
            if (status < 0) fail("converting a packet to Annex B", status);
        }
    }

    void interrupt() { interrupted_ = true; }

    void close() {
        interrupted_ = true;  // a read waiting in another thread gives up first
        std::lock_guard<std::mutex> hold(lock_);
        free();
    }

    const std::string &url() const { return url_; }
    const std::string &codec() const { return codec_; }
    bool closed() const { return context_ == nullptr; }
    int width() const { return width_; }
    int height() const { return height_; }
    AVRational timeBase() const { return timeBase_; }
    AVRational frameRate() const { return frameRate_; }
    std::optional<double> duration() const { return duration_; }
    bool live() const { return live_; }
    const std::string &format() const { return format_; }
    bool discard() const { return discard_; }
    std::optional<int64_t> startTime() const { return startTime_; }

private:
    static int interruptCallback(void *opaque) {
        auto *self = static_cast<Source *>(opaque);
        if (self->interrupted_) return 1;
        int64_t deadline = self->deadline_;
        if (deadline && Clock::now().time_since_epoch().count() > deadline) {
            self->timedOut_ = true;
            return 1;
        }
        return 0;
    }

    // The timeout runs from the start of an open or a read to its end: between reads nothing
    // times out (UDP's receiving thread asks the callback all the time). Once a wait timed out
    // the source stays failed (libavformat keeps the error): later failures are that timeout.
    struct Armed {
        explicit Armed(Source &source) : source(source) {
            source.deadline_ = (Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                   std::chrono::duration<double>(source.timeout_)))
                                   .time_since_epoch()
                                   .count();
        }
        ~Armed() { source.deadline_ = 0; }
        Source &source;
    };

    [[noreturn]] void fail(const std::string &doing, int status) {
        if (interrupted_) throw SourceError{EINTR, url_ + ": " + doing + ": interrupted"};
        if (timedOut_) {
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, "%g", timeout_);
            throw SourceError{ETIMEDOUT, url_ + ": " + doing + ": nothing came within " + seconds + " s"};
        }
        // AVERROR(e) is -e for the system's error numbers; libavformat's own codes are tags.
        int number = status < 0 && -status < 4096 ? -status : 0;
        throw SourceError{number, url_ + ": " + doing + ": " + errorText(status)};
    }

    void open(const std::map<std::string, std::string> &options) {
        AVDictionary *dictionary = nullptr;
        for (const auto &[key, value] : options) av_dict_set(&dictionary, key.c_str(), value.c_str(), 0);
        Armed armed(*this);
        int status = avformat_open_input(&context_, url_.c_str(), nullptr, &dictionary);
        std::string unknown;
        for (const AVDictionaryEntry *entry = nullptr;
             (entry = av_dict_get(dictionary, "", entry, AV_DICT_IGNORE_SUFFIX));)
            unknown += (unknown.empty() ? "" : ", ") + std::string(entry->key);
        av_dict_free(&dictionary);
        if (status < 0) {
            context_ = nullptr;  // freed by avformat_open_input
            fail("opening", status);
        }
        if (!unknown.empty())  // as Python's unknown keywords: TypeError
            throw py::type_error(url_ + ": options neither the source's protocol nor its format knows: " + unknown);
        status = avformat_find_stream_info(context_, nullptr);
        if (status < 0) fail("reading the stream information", status);
        format_ = context_->iformat->name;

        stream_ = av_find_best_stream(context_, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        if (stream_ < 0) {
            std::string kinds;
            for (unsigned i = 0; i < context_->nb_streams; ++i) {
                const AVCodecParameters *parameters = context_->streams[i]->codecpar;
                const char *type = av_get_media_type_string(parameters->codec_type);
                kinds += (kinds.empty() ? "" : ", ") + std::string(type ? type : "data") + " " +
                         avcodec_get_name(parameters->codec_id);
            }
            throw std::invalid_argument(url_ + ": no video stream" +
                                        (kinds.empty() ? std::string(" (no stream at all)") : " (only " + kinds + ")"));
        }
        AVStream *stream = context_->streams[stream_];
        const AVCodecParameters *parameters = stream->codecpar;
        if (parameters->codec_id == AV_CODEC_ID_H264) {
            codec_ = "h264";
        } else if (parameters->codec_id == AV_CODEC_ID_HEVC) {
            codec_ = "hevc";
        } else if (format_ == "tty") {  // libavformat takes any text for ANSI art
            throw std::invalid_argument(url_ + ": not a video but text");
        } else {
            const AVCodecDescriptor *descriptor = avcodec_descriptor_get(parameters->codec_id);
            std::string name = avcodec_get_name(parameters->codec_id);
            if (descriptor && descriptor->long_name) name += std::string(" (") + descriptor->long_name + ")";
            throw std::invalid_argument(url_ + ": the video is " + name + "; the card decodes H.264 and HEVC only");
        }
        // Only the chosen stream's packets are read.
        for (unsigned i = 0; i < context_->nb_streams; ++i)
            if (static_cast<int>(i) != stream_) context_->streams[i]->discard = AVDISCARD_ALL;

        width_ = parameters->width;
        height_ = parameters->height;
        timeBase_ = stream->time_base;
        // The average rate, unless libavformat's guess of the stream's own rate is within 1 % of
        // it (FLV's average of 989/33 is 30000/1001).
        AVRational average = stream->avg_frame_rate, guess = stream->r_frame_rate;
        bool known = average.num > 0 && average.den > 0, guessed = guess.num > 0 && guess.den > 0;
        if (guessed && (!known || std::abs(av_q2d(guess) / av_q2d(average) - 1) < 0.01))
            frameRate_ = guess;
        else if (known)
            frameRate_ = average;
        if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0)
            duration_ = stream->duration * av_q2d(stream->time_base);
        else if (context_->duration != AV_NOPTS_VALUE && context_->duration > 0)
            duration_ = context_->duration / static_cast<double>(AV_TIME_BASE);
        if (stream->start_time != AV_NOPTS_VALUE) startTime_ = stream->start_time;
        const char *protocol = avio_find_protocol_name(url_.c_str());
        bool local = protocol && std::strcmp(protocol, "file") == 0 && !(context_->iformat->flags & AVFMT_NOFILE);
        live_ = !local || !context_->pb || !(context_->pb->seekable & AVIO_SEEKABLE_NORMAL);

        const uint8_t *extra = parameters->extradata;
        int extraSize = parameters->extradata_size;
        if (extraSize > 0 && extra[0] == 1) {  // avcC / hvcC: length-prefixed NAL units
            const AVBitStreamFilter *kind = av_bsf_get_by_name(codec_ == "h264" ? "h264_mp4toannexb"
                                                                                : "hevc_mp4toannexb");
            if (!kind) throw std::runtime_error("libavcodec has no " + codec_ + "_mp4toannexb filter");
            status = av_bsf_alloc(kind, &filter_);
            if (status < 0) fail("preparing the Annex B filter", status);
            avcodec_parameters_copy(filter_->par_in, parameters);
            filter_->time_base_in = stream->time_base;
            status = av_bsf_init(filter_);
            if (status < 0) fail("preparing the Annex B filter", status);
        } else if (extraSize >= 4 && extra[0] == 0 && extra[1] == 0 &&
                   (extra[2] == 1 || (extra[2] == 0 && extra[3] == 1))) {
            prefix_.assign(reinterpret_cast<const char *>(extra), static_cast<size_t>(extraSize));
        }
    }

    std::tuple<std::string, std::optional<int64_t>, std::optional<int64_t>, bool> take(AVPacket *packet) {
        std::string data;
        data.reserve(prefix_.size() + static_cast<size_t>(packet->size));
        bool key = packet->flags & AV_PKT_FLAG_KEY;
        if (!prefix_.empty() && key) {
            data = std::move(prefix_);
            prefix_.clear();
        }
        data.append(reinterpret_cast<const char *>(packet->data), static_cast<size_t>(packet->size));
        std::optional<int64_t> pts, dts;
        if (packet->pts != AV_NOPTS_VALUE) pts = packet->pts;
        if (packet->dts != AV_NOPTS_VALUE) dts = packet->dts;
        discard_ = packet->flags & AV_PKT_FLAG_DISCARD;
        av_packet_unref(packet);
        return {std::move(data), pts, dts, key};
    }

    void free() {
        av_bsf_free(&filter_);
        if (context_) avformat_close_input(&context_);
        avformat_free_context(context_);
        context_ = nullptr;
        av_packet_free(&packet_);
        av_packet_free(&filtered_);
    }

    std::string url_;
    double timeout_;
    AVFormatContext *context_ = nullptr;
    AVBSFContext *filter_ = nullptr;
    AVPacket *packet_ = nullptr;
    AVPacket *filtered_ = nullptr;
    int stream_ = -1;
    std::string codec_, format_, prefix_;
    int width_ = 0, height_ = 0;
    AVRational timeBase_{0, 1}, frameRate_{0, 1};
    std::optional<double> duration_;
    std::optional<int64_t> startTime_;
    bool live_ = false, ended_ = false, discard_ = false;
    std::atomic<bool> interrupted_{false}, timedOut_{false};
    std::atomic<int64_t> deadline_{0};
    std::mutex lock_;  // read and close, which may come from different threads
};

std::map<std::string, std::string> optionTexts(const py::dict &options) {
    std::map<std::string, std::string> texts;
    for (const auto &[key, value] : options) {
        if (!py::isinstance<py::str>(key)) throw py::type_error("option names must be strings");
        texts[key.cast<std::string>()] = py::isinstance<py::bool_>(value) ? (value.cast<bool>() ? "1" : "0")
                                                                          : py::str(value).cast<std::string>();
    }
    return texts;
}

}  // namespace

void registerDemuxer(py::module_ &m) {
    // What goes wrong reaches Python as exceptions; libavformat's own log would only repeat it
    // on standard error (the card's decoders silence it for the process too).
    av_log_set_level(AV_LOG_QUIET);
    py::register_exception_translator([](std::exception_ptr pointer) {
        try {
            if (pointer) std::rethrow_exception(pointer);
        } catch (const SourceError &error) {
            py::object type = py::module_::import("builtins").attr("OSError");
            py::object value = error.number ? type(error.number, error.text) : type(error.text);
            PyErr_SetObject(type.ptr(), value.ptr());
        }
    });

    py::class_<Source>(m, "Source", R"(A video source: a file path or URL of anything libavformat reads (MP4, MOV,
MKV/WebM, MPEG-TS, FLV, raw H.264/HEVC streams, RTSP, HTTP(S) and HLS, UDP/RTP), read as
the Annex B access units of its best video stream.

`options` are libavformat options (e.g. {"rtsp_transport": "tcp"}; TypeError for options
neither the protocol nor the format knows); `timeout` (seconds) bounds the opening and each
read. A source whose video is not H.264 or HEVC, or that has
none, raises ValueError naming the codec or saying so; a source that cannot be opened or
read raises OSError naming it and libavformat's reason (TimeoutError past the timeout).)")
        .def(py::init([](const std::string &url, const py::dict &options, double timeout) {
                 auto texts = optionTexts(options);
                 py::gil_scoped_release unlocked;
                 return std::make_unique<Source>(url, texts, timeout);
             }),
             py::arg("url"), py::arg("options") = py::dict(), py::arg("timeout") = 10.0)
        .def(
            "read",
            [](Source &self) -> py::object {
                std::optional<std::tuple<std::string, std::optional<int64_t>, std::optional<int64_t>, bool>> unit;
                {
                    py::gil_scoped_release unlocked;
                    unit = self.read();
                }
                if (!unit) return py::none();
                auto &[data, pts, dts, key] = *unit;
                return py::make_tuple(py::bytes(data), pts ? py::object(py::int_(*pts)) : py::none(),
                                      dts ? py::object(py::int_(*dts)) : py::none(), py::bool_(key));
            },
            "The next access unit as (bytes, pts, dts, key), pts and dts in time_base units or None; None\n"
            "at the end of the source. Other threads run while it waits.")
        .def("interrupt", &Source::interrupt, "Makes a waiting open or read give up (from any thread).")
        .def("close", &Source::close, py::call_guard<py::gil_scoped_release>(),
             "Closes the source (a read waiting in another thread gives up first).")
        .def_property_readonly("url", &Source::url)
        .def_property_readonly("codec", &Source::codec, "\"h264\" or \"hevc\".")
        .def_property_readonly("width", &Source::width)
        .def_property_readonly("height", &Source::height)
        .def_property_readonly(
            "time_base", [](const Source &self) { return py::make_tuple(self.timeBase().num, self.timeBase().den); })
        .def_property_readonly(
            "frame_rate", [](const Source &self) { return py::make_tuple(self.frameRate().num, self.frameRate().den); },
            "(numerator, denominator); (0, 1) when unknown.")
        .def_property_readonly("duration", &Source::duration, "Seconds, or None when unknown (live sources).")
        .def_property_readonly("live", &Source::live, "A network or otherwise unseekable source.")
        .def_property_readonly("format", &Source::format, "libavformat's name of the demuxer.")
        .def_property_readonly("start_time", &Source::startTime,
                               "The stream's first timestamp in time_base units, or None.")
        .def_property_readonly("discard", &Source::discard,
                               "Whether the last packet read is to be decoded but not shown (edit lists).")
        .def_property_readonly("closed", &Source::closed)
        .def("__repr__", [](const Source &self) {
            return "<Source " + self.url() + " " +
                   (self.closed()
                        ? std::string("closed")
                        : self.codec() + " " + std::to_string(self.width()) + "x" + std::to_string(self.height()) +
                              " " + rationalText(self.timeBase()) + (self.live() ? " live" : "")) +
                   ">";
        });
}

}  // namespace halvora::av
