// Files for the bindings' own readers and writers: a closing file handle, and
// raw files into device memory, shared by the image loaders of the submodules.
#pragma once
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace halvora {

struct FileCloser {
    void operator()(FILE *file) const { std::fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// Reads the first `size` bytes of the file at `path` into a new device block of the
// common runtime. On failure it returns null and leaves no open file, host buffer
// or device block behind; a file that cannot be opened, a host buffer that cannot
// be allocated and a short file each print their line to standard output.
void *fileToDevice(const std::string &path, uint64_t size);

}  // namespace halvora
