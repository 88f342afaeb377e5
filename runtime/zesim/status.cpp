#include "zesim/status.hpp"

#include <unordered_map>

#include "zece.h"
#include "zecl.h"
#include "zecm.h"
#include "zeme.h"
#include "zeml.h"

namespace zesim {
namespace {

const std::unordered_map<uint32_t, const char *> &descriptions() {
    static const auto &table = *new std::unordered_map<uint32_t, const char *>{
        {zecmER_SUCCESS, "Success."},
        {zecmER_INVALID_PARAM, "Invalid parameter: a null, out-of-range or malformed argument."},
        {zecmER_INVALID_HANDLE, "Invalid handle: null, stale, destroyed or of the wrong kind."},
        {zecmER_NOT_INITIALIZED, "The runtime is not initialized: call initialize first."},
        {zecmER_ALREADY_INITIALIZED, "The runtime is already initialized."},
        {zecmER_INVALID_DEVICE, "Invalid device index."},
        {zecmER_NO_DEVICE, "No device is selected: call setDevice first."},
        {zecmER_OUT_OF_MEMORY, "Out of memory: the device or host has no room for the block."},
        {zecmER_INVALID_CONFIG, "Invalid configuration text or card configuration file."},
        {zecmER_BUFFER_TOO_SMALL, "The output buffer is too small for the result."},
        {zecmER_INVALID_ADDRESS, "Invalid address: the range lies outside every live memory block."},
        {zecmER_INVALID_COPY, "The copy type does not match the kinds of memory given."},
        {zecmER_INVALID_DATATYPE, "Invalid data type, or a data type without a size."},
        {zecmER_INVALID_INDEX, "Index outside the dataset."},
        {zecmER_DATASET_MODE, "The member does not match the dataset's mode."},
        {zecmER_LOGGER, "The log file cannot be opened or written."},
        {zecmER_NOT_IMPLEMENT, "Not implemented by the software card."},
        // compute library
        {zeclER_INVALID_PARAM, "Compute: invalid parameter."},
        {zeclER_INVALID_HANDLE, "Compute: invalid handle: null, stale, destroyed or of the wrong kind."},
        {zeclER_MODEL_FILE, "Compute: the model file cannot be read or parsed."},
        {zeclER_TIMEOUT, "Compute: the wait ended before the work was done."},
        {zeclER_NO_OUTPUT, "Compute: no finished run has an output dataset waiting."},
        {zeclER_GRAPH_INVALID, "Compute: the graph is not built, or its ops are not connected right."},
        {zeclER_BATCH_SIZE, "Compute: batch size or input shape outside the model's range."},
        {zeclER_INDEX_OUT_OF_RANGE, "Compute: input or output index outside the model."},
        {zeclER_OUT_OF_MEMORY, "Compute: no room for the model, its inputs or its outputs."},
        {zeclER_INFERENCE, "Compute: the model failed on the given input."},
        {zeclER_STREAM_BUSY, "Compute: the stream cannot be changed while runs are in flight."},
        {zeclER_WAIT_MORE_INPUT, "Compute: the stream needs more input before it gives output."},
        {zeclER_NOT_IMPLEMENT, "Compute: not implemented by the software card."},
        // preprocess op engine
        {zeceER_BASE, "Preprocess: error."},
        {zeceER_INVALID_PARAM, "Preprocess: invalid parameter."},
        {zeceER_INVALID_HANDLE, "Preprocess: invalid op or customized-op handle."},
        {zeceER_UNSUPPORTED_TYPE, "Preprocess: data type unknown, or not the attribute's type."},
        {zeceER_UNKNOWN_ATTR, "Preprocess: the op has no attribute of that name."},
        {zeceER_INVALID_IMAGE, "Preprocess: image size, pitch or format not usable for the operation."},
        {zeceER_INVALID_ADDRESS, "Preprocess: a buffer outside every live block, or too small."},
        {zeceER_OUT_OF_MEMORY, "Preprocess: no room for the op or its work buffers."},
        {zeceER_LOAD_FAILED, "Preprocess: the customized-op file cannot be read or parsed."},
        {zeceER_OP_NOT_FOUND, "Preprocess: no customized op of that name or index."},
        {zeceER_BUFFER_TOO_SMALL, "Preprocess: an output buffer cannot hold the result."},
        {zeceER_OP_NOT_READY, "Preprocess: the op lacks attributes or configuration it needs to run."},
        {zeceER_ATTR_NOT_SET, "Preprocess: the attribute has not been set."},
        {zeceER_NOT_IMPLEMENT, "Preprocess: not implemented by the software card."},
        // media engine
        {zemeER_RSLT_WARN_MORE_DATA, "Media: no output ready yet: send more input or wait."},
        {zemeER_RSLT_WARN_EOS, "Media: end of stream: the last output was taken."},
        {zemeER_RSLT_ERR_START, "Media: error."},
        {zemeER_RSLT_ERR_INVALID_PARAM, "Media: invalid parameter."},
        {zemeER_RSLT_ERR_INVALID_CHANNEL, "Media: channel number out of range or not created."},
        {zemeER_RSLT_ERR_CHANNEL_EXISTS, "Media: the channel number is already in use."},
        {zemeER_RSLT_ERR_STATE, "Media: the call does not fit the channel's state."},
        {zemeER_RSLT_ERR_BITSTREAM, "Media: the bitstream or picture cannot be decoded."},
        {zemeER_RSLT_ERR_UNSUPPORTED, "Media: codec, format, size or option not supported."},
        {zemeER_RSLT_ERR_NO_MEMORY, "Media: no room for buffers."},
        {zemeER_RSLT_ERR_TIMEOUT, "Media: the wait ended before the channel took the input."},
        {zemeER_RSLT_ERR_NOT_SYSTEM_INIT, "Media: the media system is not initialized."},
        {zemeER_RSLT_ERR_UNKNOWN_BUFFER, "Media: release of a frame or stream the channel did not hand out."},
        {zemeER_NOT_IMPLEMENT, "Media: not implemented by the software card."},
        // management library
        {ZEML_ERROR_UNINITIALIZED, "Management: the library is not initialized."},
        {ZEML_ERROR_INITIALIZED, "Management: the library is already initialized."},
        {ZEML_ERROR_FETCH_API, "Management: a driver interface cannot be reached."},
        {ZEML_ERROR_CARD_EMPTY, "Management: no card is present."},
        {ZEML_ERROR_INITI_FAIL, "Management: initialization failed."},
        {ZEML_ERROR_CARD_NOTFOUND, "Management: no such card."},
        {ZEML_ERROR_INPUT_PARAMETER_NULL, "Management: a required argument is null."},
        {ZEML_ERROR_INPUT_PARAMETER_ERROR, "Management: an argument is out of range or malformed."},
        {ZEML_ERROR_PCIE_MAJOR_ERROR, "Management: PCIe error."},
        {ZEML_USER_BUF_INSUFFICIENT, "Management: the caller's buffer is too small."},
        {ZEML_ERROR_CALLBACK_INITIALIZED, "Management: the callback is already installed."},
        {ZEML_ERROR_CALLBACK_UNINITIALIZED, "Management: no callback is installed."},
        {ZEML_ERROR_PROFILER_ALREADY_RUNNING, "Management: the profiler is already running."},
        {ZEML_ERROR_PROFILER_ALREADY_STOP,  // also ZEML_ERROR_PROFILER_EXPORT_FILE_TYPE_INVALID
         "Management: the profiler is already stopped, or the export file type is invalid."},
        {ZEML_ERROR_PROFILER_EXPORT_FOLDER_PATH_INVALID, "Management: invalid profiler export folder."},
        {ZEML_ERROR_AI_SCRIPT_PATH_INVALID, "Management: invalid AI script path."},
        {ZEML_ERROR_AI_SCRIPT_ROOT_PERMISSION, "Management: the AI script needs root permission."},
        {ZEML_ERROR_MAX, "Management: error."},
    };
    return table;
}

struct Reason {
    uint32_t code = 0;
    std::string text;
};
thread_local Reason lastReason;

}  // namespace

void noteReason(uint32_t code, const std::string &reason) { lastReason = {code, reason}; }

void forgetReason() { lastReason = {}; }

const char *statusText(uint32_t code) {
    auto found = descriptions().find(code);
    return found != descriptions().end() ? found->second : nullptr;
}

std::string describeStatus(uint32_t code) {
    auto found = descriptions().find(code);
    if (found == descriptions().end()) return "Unknown error code " + std::to_string(code) + ".";
    std::string text = found->second;
    if (code == 0 || lastReason.code != code || lastReason.text.empty()) return text;
    text.pop_back();  // the full stop, which now ends the reason
    text += ": " + lastReason.text;
    if (text.size() > kReasonRoom - 1) text.resize(kReasonRoom - 4), text += "...";
    return text + ".";
}

}  // namespace zesim
