// Muxing: the card's encoder output written into a container.
//
// Sink(path, codec, width, height, time_base, format=None, frame_rate=None) opens `path` for
// writing (the container from its extension, or `format`, a libavformat muxer name) and takes
// Annex B access units in coding order with write(data, pts, dts). Each unit's key-frame flag
// comes from libavcodec's parser; the codec configuration (parameter sets) from the first unit,
// a key frame, through the extract_extradata bitstream filter, after which the header is
// written. The muxers turn Annex B into their own framing (length prefixes, avcC / hvcC).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>

#include <sys/stat.h>

#include <pybind11/stl.h>

#include "av.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
}

namespace halvora::av {
namespace {

using Rational = std::tuple<int64_t, int64_t>;

// OSError for libavformat's `code`: with its errno when it is one (so that FileNotFoundError,
// PermissionError... come out), the path and what was being done in the text, `filename` the path.
[[noreturn]] void raiseOSError(int code, const std::string &path, const std::string &what) {
    const std::string text = what + " (" + errorText(code) + ")";
    py::object type = py::module_::import("builtins").attr("OSError");
    py::object error = code < 0 && -code < 4096 ? type(-code, text, path) : type(path + ": " + text);
    error.attr("filename") = path;
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
}

AVRational rational(const Rational &value, const char *what, bool zero) {
    const auto [num, den] = value;
    if (den <= 0 || num < 0 || (!zero && num == 0) || num > INT32_MAX || den > INT32_MAX)
        throw py::value_error(std::string(what) + " (" + std::to_string(num) + ", " + std::to_string(den) +
                              "): a (numerator, denominator) pair of positive integers up to 2^31 - 1");
    return AVRational{static_cast<int>(num), static_cast<int>(den)};
}

class Sink {
public:
    Sink(std::string path, const std::string &codec, int width, int height, const Rational &timeBase,
         const std::optional<std::string> &format, const std::optional<Rational> &frameRate)
        : path_(std::move(path)) {
        if (codec != "h264" && codec != "hevc") throw py::value_error("codec '" + codec + "': 'h264' or 'hevc'");
        const AVCodecID id = codec == "h264" ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC;
        if (width <= 0 || height <= 0)
            throw py::value_error("picture size " + std::to_string(width) + " x " + std::to_string(height) +
                                  ": positive");
        timeBase_ = rational(timeBase, "time_base", false);
        if (frameRate) rate_ = rational(*frameRate, "frame_rate", true);
        // A format is a muxer's name ("mp4", "matroska") or an extension ("mkv").
        const AVOutputFormat *muxer = !format           ? av_guess_format(nullptr, path_.c_str(), nullptr)
                                      : format->empty() ? nullptr
                                                        : av_guess_format(format->c_str(), nullptr, nullptr);
        if (!muxer && format && !format->empty())
            muxer = av_guess_format(nullptr, ("file." + *format).c_str(), nullptr);
        if (!muxer) {
            if (format) throw py::value_error("format '" + *format + "': not a container format libavformat writes");
            throw py::value_error(path_ + ": no container format for its extension (.mp4, .mkv, .mov, ...)");
        }
        if (avformat_query_codec(muxer, id, FF_COMPLIANCE_NORMAL) == 0)  // (negative: the muxer does not say)
            throw py::value_error(path_ + ": " + muxer->name + " files do not hold " + codec + " video");
        try {
            open(muxer, id, width, height);
        } catch (...) {
            release();
            throw;
        }
    }

    ~Sink() {
        try {
            finish();
        } catch (...) {  // a destructor has no one to tell; close() reports
        }
        release();
    }

    Sink(const Sink &) = delete;
    Sink &operator=(const Sink &) = delete;

    // One access unit; returns whether it is a key frame.
    bool write(const py::buffer &data, int64_t pts, int64_t dts) {
        py::buffer_info view = data.request();
        if (view.itemsize != 1 || view.ndim > 1 || (view.ndim == 1 && view.strides[0] != 1))
            throw py::type_error("an access unit is contiguous bytes");
        const size_t size = static_cast<size_t>(view.size);
        std::unique_lock<std::mutex> hold = lock();
        if (!out_) throw py::value_error(path_ + ": the sink is closed");
        if (size == 0 || size > INT32_MAX - AV_INPUT_BUFFER_PADDING_SIZE)
            throw py::value_error(path_ + ": an access unit of " + std::to_string(size) + " bytes");
        if (pts < dts)
            throw py::value_error(path_ + ": access unit " + std::to_string(written_) + " has pts " +
                                  std::to_string(pts) + " before its dts " + std::to_string(dts));
        if (written_ && dts <= lastDts_)
            throw py::value_error(path_ + ": access unit " + std::to_string(written_) + " has dts " +
                                  std::to_string(dts) + ", not after the last one's " + std::to_string(lastDts_));
        if (av_new_packet(packet_, static_cast<int>(size)) < 0) throw std::bad_alloc();
        std::memcpy(packet_->data, view.ptr, size);
        packet_->pts = pts;
        packet_->dts = dts;
        int status = 0;
        {
            py::gil_scoped_release free;
            status = put();
        }
        av_packet_unref(packet_);
        if (status == kNotKey)
            throw py::value_error(path_ + ": the first access unit is not a key frame with its parameter sets");
        if (status < 0) raiseOSError(status, path_, "writing access unit " + std::to_string(written_));
        lastDts_ = dts;
        ++written_;
        return status == 1;
    }

    // Writes the trailer and closes the file; a sink closed before its first access unit
    // removes the (empty) file it made. Later calls do nothing.
    void close() {
        std::unique_lock<std::mutex> hold = lock();
        int status = 0;
        {
            py::gil_scoped_release free;
            status = finish();
        }
        release();
        if (status < 0) raiseOSError(status, path_, "finishing the file");
    }

    int64_t written() const { return written_; }
    bool closed() const { return out_ == nullptr; }
    std::string format() const { return muxer_; }
    const std::string &path() const { return path_; }

private:
    // The sink's lock, waited for without the interpreter lock: a thread holding it lets go of
    // the interpreter lock while libavformat writes, and takes it back before it lets go.
    std::unique_lock<std::mutex> lock() {
        std::unique_lock<std::mutex> hold(lock_, std::defer_lock);
        py::gil_scoped_release free;
        hold.lock();
        return hold;
    }

    static constexpr int kNotKey = -0x7FFF0000;  // a status of put(): no usable first unit

    void open(const AVOutputFormat *muxer, AVCodecID id, int width, int height) {
        muxer_ = muxer->name;
        // "file:" so that names with a colon are files, never another protocol.
        const std::string url = "file:" + path_;
        check(avformat_alloc_output_context2(&out_, muxer, nullptr, url.c_str()), "setting up the container");
        stream_ = avformat_new_stream(out_, nullptr);
        if (!stream_) throw std::bad_alloc();
        AVCodecParameters *par = stream_->codecpar;
        par->codec_type = AVMEDIA_TYPE_VIDEO;
        par->codec_id = id;
        par->width = width;
        par->height = height;
        par->format = AV_PIX_FMT_YUV420P;
        stream_->time_base = timeBase_;
        if (rate_.num) {
            stream_->avg_frame_rate = stream_->r_frame_rate = rate_;
            // One picture's time in the sink's time base: each unit's duration (the last one's
            // ends the file). 0 when a picture is shorter than one tick.
            frameTicks_ = av_rescale_q(1, av_inv_q(rate_), timeBase_);
        }

        parser_ = av_parser_init(id);
        parsing_ = avcodec_alloc_context3(nullptr);
        packet_ = av_packet_alloc();
        const AVBitStreamFilter *filter = av_bsf_get_by_name("extract_extradata");
        if (!parser_ || !parsing_ || !packet_ || !filter) throw std::bad_alloc();
        parser_->flags |= PARSER_FLAG_COMPLETE_FRAMES;  // each write is one whole access unit
        parsing_->codec_type = AVMEDIA_TYPE_VIDEO;
        parsing_->codec_id = id;
        check(av_bsf_alloc(filter, &extract_), "setting up extract_extradata");
        extract_->par_in->codec_type = AVMEDIA_TYPE_VIDEO;
        extract_->par_in->codec_id = id;
        extract_->time_base_in = timeBase_;
        check(av_bsf_init(extract_), "setting up extract_extradata");

        if (!(muxer->flags & AVFMT_NOFILE)) {
            int status = avio_open2(&out_->pb, url.c_str(), AVIO_FLAG_WRITE, nullptr, nullptr);
            if (status < 0) raiseOSError(status, path_, "cannot open it for writing");
            made_ = true;
        }
    }

    void check(int status, const char *what) {
        if (status == AVERROR(ENOMEM)) throw std::bad_alloc();
        if (status < 0) raiseOSError(status, path_, what);
    }

    // The codec configuration from the first unit, then the header. kNotKey when the unit
    // is no key frame or carries no parameter sets.
    int start(bool key) {
        if (!key) return kNotKey;
        AVPacket *copy = av_packet_clone(packet_);
        if (!copy) return AVERROR(ENOMEM);
        int status = av_bsf_send_packet(extract_, copy);  // takes the reference
        av_packet_free(&copy);
        AVPacket *filtered = av_packet_alloc();
        if (!filtered) return AVERROR(ENOMEM);
        if (status >= 0) status = av_bsf_receive_packet(extract_, filtered);
        size_t size = 0;
        const uint8_t *config = status >= 0 ? av_packet_get_side_data(filtered, AV_PKT_DATA_NEW_EXTRADATA, &size)
                                            : nullptr;
        if (config && size) {
            AVCodecParameters *par = stream_->codecpar;
            par->extradata = static_cast<uint8_t *>(av_mallocz(size + AV_INPUT_BUFFER_PADDING_SIZE));
            if (!par->extradata)
                status = AVERROR(ENOMEM);
            else {
                std::memcpy(par->extradata, config, size);
                par->extradata_size = static_cast<int>(size);
            }
        }
        av_packet_free(&filtered);
        if (status < 0) return status;
        if (!config || !size) return kNotKey;
        status = avformat_write_header(out_, nullptr);
        if (status < 0) return status;
        started_ = true;
        return 0;
    }

    // Flags, starts the file on the first unit and writes `packet_` (in the sink's time base).
    // 1 for a key frame, 0 for another, a negative status on failure.
    int put() {
        uint8_t *unit = nullptr;
        int unitSize = 0;
        av_parser_parse2(parser_, parsing_, &unit, &unitSize, packet_->data, packet_->size, packet_->pts, packet_->dts,
                         0);
        const bool key = parser_->key_frame == 1;
        if (!started_) {
            int status = start(key);
            if (status < 0) return status;
        }
        if (key) packet_->flags |= AV_PKT_FLAG_KEY;
        packet_->duration = frameTicks_;
        packet_->stream_index = 0;
        av_packet_rescale_ts(packet_, timeBase_, stream_->time_base);
        int status = av_write_frame(out_, packet_);
        return status < 0 ? status : key ? 1 : 0;
    }

    // The trailer (once the header is written); 0 or libavformat's failure.
    int finish() {
        if (!out_ || finished_) return 0;
        finished_ = true;
        int status = started_ ? av_write_trailer(out_) : 0;
        if (out_->pb) {
            int closing = avio_closep(&out_->pb);
            if (status >= 0) status = closing;
        }
        // Nothing was written: no file. Only an empty regular file goes (never /dev/null and the like).
        struct stat file {};
        if (!started_ && made_ && stat(path_.c_str(), &file) == 0 && S_ISREG(file.st_mode) && file.st_size == 0)
            std::remove(path_.c_str());
        return status;
    }

    void release() {
        if (out_ && out_->pb && !(out_->oformat->flags & AVFMT_NOFILE)) avio_closep(&out_->pb);
        avformat_free_context(out_);
        out_ = nullptr;
        stream_ = nullptr;
        av_parser_close(parser_);
        parser_ = nullptr;
        avcodec_free_context(&parsing_);
        av_bsf_free(&extract_);
        av_packet_free(&packet_);
    }

    std::string path_, muxer_;
    AVRational timeBase_{1, 1}, rate_{0, 1};
    int64_t frameTicks_ = 0;
    AVFormatContext *out_ = nullptr;
    AVStream *stream_ = nullptr;
    AVCodecParserContext *parser_ = nullptr;
    AVCodecContext *parsing_ = nullptr;  // the parser's context
    AVBSFContext *extract_ = nullptr;
    AVPacket *packet_ = nullptr;
    bool made_ = false, started_ = false, finished_ = false;
    int64_t written_ = 0, lastDts_ = 0;
    std::mutex lock_;
};

}  // namespace

void registerMuxer(py::module_ &m) {
    py::class_<Sink>(m, "Sink", R"(A container file of H.264 or HEVC video, written from Annex B access units.

Sink(path, codec, width, height, time_base, format=None, frame_rate=None): the container from
path's extension (.mp4, .mkv, .mov, ...) or `format` (a libavformat muxer name or an extension); `time_base`
(num, den) the unit of the timestamps given to write(); `frame_rate` (num, den), when given, is
written as the stream's rate and gives each access unit one picture's duration.)")
        .def(py::init<std::string, const std::string &, int, int, const Rational &, const std::optional<std::string> &,
                      const std::optional<Rational> &>(),
             py::arg("path"), py::arg("codec"), py::arg("width"), py::arg("height"), py::arg("time_base"),
             py::arg("format") = py::none(), py::arg("frame_rate") = py::none())
        .def("write", &Sink::write, py::arg("data"), py::arg("pts"), py::arg("dts"),
             "Writes one access unit (coding order; dts increasing, pts not before dts); True for a key frame. "
             "The first must be a key frame with its parameter sets.")
        .def("close", &Sink::close, "Writes the trailer and closes the file (no file when nothing was written).")
        .def_property_readonly("written", &Sink::written, "Access units written.")
        .def_property_readonly("closed", &Sink::closed)
        .def_property_readonly("format", &Sink::format, "libavformat's muxer name.")
        .def_property_readonly("path", &Sink::path)
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](Sink &self, py::args) {
            self.close();
            return false;
        });
}

}  // namespace halvora::av
