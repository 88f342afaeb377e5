#include "sim/status.hpp"

#include <unordered_map>

#include "zecm.h"

namespace zesim {
namespace {

const std::unordered_map<uint32_t, const char *> &descriptions() {
    static const std::unordered_map<uint32_t, const char *> table = {
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
    };
    return table;
}

}  // namespace

std::string describeStatus(uint32_t code) {
    auto found = descriptions().find(code);
    if (found != descriptions().end()) return found->second;
    return "Unknown error code " + std::to_string(code) + ".";
}

}  // namespace zesim
