// Image file utilities: raw image files to and from device memory, and MD5
// digests of files and host buffers.
#include <cstdio>
#include <string>
#include <vector>

#include "files.hpp"
#include "groups.hpp"
#include "md5.h"
#include "zecm.h"

namespace halvora::zece {
namespace {

// The digest is handed over as the runtime formats it; strict UTF-8.
py::str digestText(const std::string &digest) { return boundedText(digest.data(), digest.size()); }

// A size from Python, widened with its sign.
uint64_t byteCount(int32_t size, const char *function) {
    if (size < 0) throw py::value_error(std::string(function) + ": the size must not be negative");
    return static_cast<uint64_t>(size);
}

[[noreturn]] void raiseFileError(const std::string &path) {
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
    throw py::error_already_set();
}

Handle readImageFile(const std::string &path, int32_t, int32_t, int32_t size) {
    void *block = fileToDevice(path, static_cast<uint64_t>(int64_t{size}));
    if (!block) throw py::type_error("zece readImageFile error.");
    return block;
}

// MD5 digests are computed over lengths of 32 bits: a file of 4 GiB or more is refused.
py::str fileMd5(const std::string &path) {
    File file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        std::fprintf(stderr, "failed to open %s\n", path.c_str());
        throw std::runtime_error("genFileMd5sum: cannot open " + path);
    }
    if (fseeko(file.get(), 0, SEEK_END) != 0) throw std::runtime_error("genFileMd5sum: cannot read " + path);
    off_t length = ftello(file.get());
    if (length < 0 || fseeko(file.get(), 0, SEEK_SET) != 0)
        throw std::runtime_error("genFileMd5sum: cannot read " + path);
    if (static_cast<uint64_t>(length) > UINT32_MAX)
        throw std::runtime_error("genFileMd5sum: " + path + " is 4 GiB or larger");
    std::vector<unsigned char> bytes(static_cast<size_t>(length));
    if (std::fread(bytes.data(), 1, bytes.size(), file.get()) != bytes.size())
        throw std::runtime_error("genFileMd5sum: cannot read " + path);
    file.reset();
    return digestText(md5::digestString(bytes.data(), static_cast<uint32_t>(bytes.size())));
}

// Reads host memory in place: the caller guarantees `size` readable bytes.
py::str bufferMd5(Handle buffer, int32_t size) {
    uint64_t length = byteCount(size, "genBufferMd5sum");
    if (!buffer || length == 0) throw std::runtime_error("genBufferMd5sum needs a host buffer and a size above 0");
    return digestText(md5::digestString(buffer, static_cast<uint32_t>(length)));
}

// The device copy's status is not looked at: after a failed copy the zeros (or
// whatever the runtime wrote) are written unchanged.
void saveToImage(int32_t size, Handle block, const std::string &path) {
    std::vector<unsigned char> host(byteCount(size, "saveHandelToImage"));
    zecmMemcpy(block, host.data(), host.size(), zecmCT_COPY_FROM_DEVICE);
    File file(std::fopen(path.c_str(), "wb"));
    if (!file) raiseFileError(path);
    if (!host.empty() && std::fwrite(host.data(), 1, host.size(), file.get()) != host.size()) raiseFileError(path);
    if (std::fclose(file.release()) != 0) raiseFileError(path);
}

}  // namespace

void registerImageFiles(py::module_ &m) {
    m.def("readImageFile", &readImageFile, "read image file");
    m.def("genFileMd5sum", &fileMd5, "generate file md5 sum");
    m.def("genBufferMd5sum", &bufferMd5, "generate buffer md5 sum");
    m.def("saveHandelToImage", &saveToImage, "save device handle to image file");
}

}  // namespace halvora::zece
